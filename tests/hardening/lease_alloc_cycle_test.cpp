// A lease's whole life through the public API with every allocation failing in turn: open,
// acquire, get, load (with a brindle allocator), update, attach, list and read attachments,
// release and close.
#include <gtest/gtest.h>

#include "alloc_cycle.h"

namespace {

using alloc_cycle::Allocators;
using api_test::Error;

int lease_calls(sv_client *client, Allocators &allocators, const std::string &key, Error &error) {
  sv_acquire_req req = lease_test::acquire_request(key.c_str());
  sv_lease *lease = nullptr;
  int status = sv_acquire(client, &req, &lease, error.get());
  if (status != SV_OK) return status;
  auto steps = [&]() -> int {
    auto state = lease_test::memory_source(R"({"id":7,"item":"bolt","quantity":3})");
    int result = sv_lease_update(lease, state.get(), nullptr, error.get());
    if (result != SV_OK) return result;
    auto sink = lease_test::memory_sink();
    sv_get_res got{};
    result = sv_lease_get(lease, sink.get(), nullptr, &got, error.get());
    sv_get_res_cleanup(&got);
    if (result != SV_OK) return result;
    lease_test::OrderRecord order;
    brindle_parse_options options = brindle_default_parse_options();
    options.allocator = &allocators.brindle;
    result = sv_lease_load(lease, &lease_test::order_map, &order.record, &options, nullptr, &got,
                           error.get());
    sv_get_res_cleanup(&got);
    if (result != SV_OK) return result;
    sv_attach_req attach{};
    attach.name = "notes.txt";
    auto bytes = lease_test::memory_source("attached bytes");
    sv_attach_res attached{};
    result = sv_lease_attach(lease, &attach, bytes.get(), &attached, error.get());
    sv_attach_res_cleanup(&attached);
    if (result != SV_OK) return result;
    sv_attachment_list list{};
    result = sv_lease_list_attachments(lease, &list, error.get());
    sv_attachment_list_cleanup(&list);
    if (result != SV_OK) return result;
    sv_attachment_get_req get{};
    get.name = "notes.txt";
    auto copy = lease_test::memory_sink();
    sv_attachment_get_res fetched{};
    result = sv_lease_get_attachment(lease, &get, copy.get(), &fetched, error.get());
    sv_attachment_get_res_cleanup(&fetched);
    if (result != SV_OK) return result;
    result = sv_lease_release(lease, nullptr, error.get());
    if (result == SV_OK) lease = nullptr;  // released handles are freed
    return result;
  };
  status = steps();
  sv_lease_close(lease);
  return status;
}

TEST(LeaseAllocationCycle, EveryFailedAllocationFromOpenToCloseIsNomemWithoutLeaks) {
  stavo::test::DevServer server;
  const size_t runs = alloc_cycle::run_every_failure(
      server,
      [](sv_client_config &config, Allocators &allocators, const std::string &tag, Error &error) {
        sv_client *client = nullptr;
        int status = sv_client_open(&config, &client, error.get());
        if (status != SV_OK) return status;
        status = lease_calls(client, allocators, tag, error);
        sv_client_close(client);
        return status;
      });
  // The cycle allocates: a run that passed at once would mean the allocator is not used.
  EXPECT_GT(runs, 10u);
}

}  // namespace
