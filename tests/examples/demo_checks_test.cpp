// The demo's own checks called directly: the scan of an inventory's applied orders (what keeps a
// redelivered order from being counted twice) and the final comparison of the inventory keys
// with what the producer enqueued (what makes the demo fail), against inventory documents
// written straight into a dev server.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "demo.h"
#include "support/dev_server.h"

namespace {

using stavo::test::DevServer;

// A JSON value holding text, as a parse capture leaves it.
struct Applied {
  brindle_json_value value{};
  explicit Applied(const std::string &json) {
    brindle_json_value_init(&value);
    EXPECT_EQ(brindle_json_value_set_buffer(&value, json.data(), json.size(), nullptr), BRINDLE_OK);
  }
  ~Applied() { brindle_json_value_cleanup(&value); }
  Applied(const Applied &) = delete;
  Applied &operator=(const Applied &) = delete;
};

TEST(DemoAppliedScan, FindsOnlyTheExactOrderIdAmongTheTopLevelKeys) {
  Applied applied(R"({"order-0001":true,"order-00012":true,"x":{"order-00020":true},"y":[1]})");
  size_t count = 0;
  int found = -1;
  ASSERT_EQ(demo_applied_scan(&applied.value, "order-00012", &count, &found), 0);
  EXPECT_EQ(count, 4u) << "nested keys are not orders";
  EXPECT_EQ(found, 1);
  for (const char *other : {"order-0001", "order-000", "order-000123", "order-00020", ""}) {
    found = -1;
    ASSERT_EQ(demo_applied_scan(&applied.value, other, nullptr, &found), 0);
    EXPECT_EQ(found, std::strcmp(other, "order-0001") == 0 ? 1 : 0) << other;
  }
}

TEST(DemoAppliedScan, CountsAnEmptyObjectAndRefusesNonJson) {
  Applied empty("{}");
  size_t count = 7;
  int found = -1;
  ASSERT_EQ(demo_applied_scan(&empty.value, "order-00001", &count, &found), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(found, 0);
  brindle_json_value none;
  brindle_json_value_init(&none);
  EXPECT_NE(demo_applied_scan(&none, nullptr, &count, nullptr), 0) << "no captured text";
}

class DemoTotalsTest : public ::testing::Test {
 protected:
  DevServer dev{{.tls = true}};
  std::string endpoint = dev.https_url(), bundle = dev.client_bundle_path();
  demo_run run{};
  sv_client *client = nullptr;
  sv_error error{};

  void SetUp() override {
    pthread_mutex_init(&run.mutex, nullptr);
    pthread_cond_init(&run.changed, nullptr);
    clock_gettime(CLOCK_MONOTONIC, &run.started);
    run.options.endpoint = endpoint.c_str();
    run.options.bundle = bundle.c_str();
    run.options.namespace_name = "t-totals";
    sv_error_init(&error);
    ASSERT_EQ(example_open_client(&run.options, &client), SV_OK);
    // Two orders of 3 units for every SKU.
    run.order_count = 2 * DEMO_SKU_COUNT;
    for (int i = 0; i < DEMO_SKU_COUNT; ++i) {
      run.expected_orders[i] = 2;
      run.expected_units[i] = 6;
    }
  }
  void TearDown() override {
    sv_client_close(client);
    sv_error_cleanup(&error);
    pthread_cond_destroy(&run.changed);
    pthread_mutex_destroy(&run.mutex);
  }

  void write(const std::string &key, const std::string &sku, int64_t orders, int64_t units,
             int64_t stock, const std::string &applied) {
    const std::string document = R"({"kind":"inventory","sku":")" + sku + R"(","stock":)" +
                                 std::to_string(stock) + R"(,"units_shipped":)" +
                                 std::to_string(units) + R"(,"orders":)" + std::to_string(orders) +
                                 R"(,"last_order":"","last_packer":"t","fencing_token":1,)" +
                                 R"("applied":)" + applied + "}";
    dev.seed_state(key, document, "application/json", "t-totals");
  }
  // Every SKU as the producer counted it; the extra keys of earlier cases no longer match.
  void write_agreeing() {
    for (const char *sku : demo_skus) {
      write(std::string("inventory/") + sku, sku, 2, 6, DEMO_INITIAL_STOCK - 6,
            R"({"a":true,"b":true})");
    }
    for (const char *extra : {"inventory/NUT-M8-copy", "inventory/GEAR-9"}) {
      dev.seed_state(extra, "{}", "application/json", "t-totals");
    }
  }
  int check() {
    sv_error_cleanup(&error);
    return demo_check_totals(&run, client, &error);
  }
};

TEST_F(DemoTotalsTest, AgreeingInventoryPasses) {
  write_agreeing();
  EXPECT_EQ(check(), SV_OK) << (error.message != nullptr ? error.message : "");
}

TEST_F(DemoTotalsTest, EachKindOfDisagreementFails) {
  const int64_t stock = DEMO_INITIAL_STOCK;
  const struct {
    const char *what;
    std::function<void()> spoil;
  } cases[] = {
      {"units", [&] { write("inventory/NUT-M8", "NUT-M8", 2, 7, stock - 7, R"({"a":1,"b":1})"); }},
      {"stock", [&] { write("inventory/NUT-M8", "NUT-M8", 2, 6, stock - 5, R"({"a":1,"b":1})"); }},
      {"orders",
       [&] { write("inventory/NUT-M8", "NUT-M8", 3, 6, stock - 6, R"({"a":1,"b":1,"c":1})"); }},
      {"applied", [&] { write("inventory/NUT-M8", "NUT-M8", 2, 6, stock - 6, R"({"a":1})"); }},
      {"a second key for one SKU",
       [&] { write("inventory/NUT-M8-copy", "NUT-M8", 0, 0, stock, "{}"); }},
      {"an unknown SKU", [&] { write("inventory/GEAR-9", "GEAR-9", 0, 0, stock, "{}"); }},
      {"a missing SKU",
       [&] { dev.seed_state("inventory/WASHER-8", "{}", "application/json", "t-totals"); }},
      {"a document that does not parse",
       [&] { write("inventory/NUT-M8", "NUT-M8", 2, 6, stock - 6, R"(["a","b"])"); }},
  };
  for (const auto &c : cases) {
    write_agreeing();
    c.spoil();
    EXPECT_EQ(check(), SV_ERR_PROTOCOL) << c.what;
    EXPECT_STREQ(error.message, "inventory totals disagree with the orders") << c.what;
  }
  write_agreeing();
  EXPECT_EQ(check(), SV_OK) << "the cases above leave nothing behind";
}

}  // namespace
