// The generator writes members and elements whole when they fit the caller's buffer and steps
// through them otherwise: at every read size the text (or the failure and the text before it)
// must be the serializer's.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "serial_support.h"

namespace {

using namespace serial_test;

struct Outer {
  brindle_object_array all;
  Inner inner;
  brindle_array f64s;
};

const brindle_field kOuterFields[] = {
    BRINDLE_DECL_OBJECT_ARRAY(Outer, all, "all", 0, &kEverythingMap, Everything),
    BRINDLE_DECL_OBJECT(Outer, inner, "inner", 0, &kInnerMap),
    BRINDLE_DECL_ARRAY(Outer, f64s, "f64s", BRINDLE_FIELD_F64_ARRAY, 0),
};
const brindle_map kOuterMap = BRINDLE_MAP("outer_json", Outer, kOuterFields);

struct Document {
  EverythingStorage storage;
  std::vector<Everything> all;
  std::vector<double> f64s = {1.5, -0.25, 1e-7, 123456.789};
  Outer outer{};

  explicit Document(double third_f64) {
    static char text[] = "text with \"quotes\" and \x01 control";
    static char label[] = "la\\bel";
    storage.strings = {text, nullptr};
    storage.i64s = {-1, 2, std::numeric_limits<int64_t>::max()};
    storage.u64s = {7};
    storage.f64s = {0.1, 2.5};
    storage.bools = {1, 0, 1};
    storage.items = {{1, label}, {2, nullptr}};
    all.resize(3);
    for (size_t i = 0; i < all.size(); ++i) {
      Everything &record = all[i];
      record.text = text;
      std::strcpy(record.fixed, "fixed\t");
      record.i64 = static_cast<int64_t>(i) - 1;
      record.f64 = i == 2 ? third_f64 : 0.5 * static_cast<double>(i);
      record.flag = static_cast<int32_t>(i & 1);
      record.inner = {static_cast<int64_t>(i), label};
      point_arrays(record, storage);
    }
    outer.all.items = all.data();
    outer.all.count = all.size();
    outer.all.element_size = sizeof(Everything);
    outer.inner = {9, label};
    outer.f64s = fixed_array(f64s);
  }
};

std::string generated(const brindle_map *map, const void *record, bool pretty, size_t size,
                      brindle_status *status, brindle_error *error) {
  return via_generator(map, record, pretty, size, status, error);
}

TEST(GeneratorWhole, EveryReadSizeGivesTheSerializersText) {
  Document document(3.75);
  for (bool pretty : {false, true}) {
    const std::string expected = via_sink(&kOuterMap, &document.outer, pretty);
    ASSERT_GT(expected.size(), 1000u);
    for (size_t size = 1; size <= expected.size() + 1; ++size) {
      brindle_status status = BRINDLE_OK;
      brindle_error error;
      ASSERT_EQ(generated(&kOuterMap, &document.outer, pretty, size, &status, &error), expected)
          << "pretty " << pretty << " read size " << size;
      ASSERT_EQ(status, BRINDLE_OK) << error.message;
    }
  }
}

// A bad double deep inside a member that would otherwise be written whole: the failure is the
// serializer's, and what was handed out before it is the serializer's text up to the value.
TEST(GeneratorWhole, FailureInsideAWholeMemberIsReportedAtItsPlace) {
  Document document(std::nan(""));
  for (bool pretty : {false, true}) {
    brindle_status sink_status = BRINDLE_OK;
    brindle_error sink_error;
    const std::string before =
        via_sink(&kOuterMap, &document.outer, pretty, &sink_status, &sink_error);
    ASSERT_EQ(sink_status, BRINDLE_TYPE_MISMATCH);
    for (size_t size = 1; size <= before.size() + 64; ++size) {
      brindle_status status = BRINDLE_OK;
      brindle_error error;
      const std::string text =
          generated(&kOuterMap, &document.outer, pretty, size, &status, &error);
      ASSERT_EQ(status, BRINDLE_TYPE_MISMATCH) << size;
      ASSERT_STREQ(error.message, sink_error.message);
      ASSERT_EQ(before.rfind(text, 0), 0u) << "read size " << size;
      // Reads stop only at the failing value (its key's closing quote and colon may still be
      // owed) or at a full buffer.
      ASSERT_GE(text.size() + size + 2, before.size()) << "read size " << size;
    }
  }
}

// A map that contains itself (a tree) is written by steps where it nests deeper than the whole
// writes look, and whole below that.
TEST(GeneratorWhole, RecursiveMapsAgreeAtEveryReadSize) {
  struct Node {
    int64_t value;
    brindle_object_array children;
  };
  static brindle_field fields[2];
  static const brindle_map map = {"node_json", sizeof(Node), fields, 2};
  fields[0] = BRINDLE_DECL_I64(Node, value, "v", 0);
  fields[1] = BRINDLE_DECL_OBJECT_ARRAY(Node, children, "c", 0, &map, Node);
  constexpr size_t kDepth = 14;
  std::vector<std::vector<Node>> levels(kDepth);
  for (size_t i = kDepth; i-- > 0;) {
    Node leaf{};
    leaf.value = -static_cast<int64_t>(i);
    leaf.children.element_size = sizeof(Node);
    levels[i].push_back(leaf);
    if (i + 1 < kDepth) {
      Node next{};
      next.value = static_cast<int64_t>(i + 1);
      next.children.items = levels[i + 1].data();
      next.children.count = levels[i + 1].size();
      next.children.element_size = sizeof(Node);
      levels[i].push_back(next);
    }
  }
  Node root{};
  root.value = 0;
  root.children.items = levels[0].data();
  root.children.count = levels[0].size();
  root.children.element_size = sizeof(Node);
  for (bool pretty : {false, true}) {
    brindle_status sink_status = BRINDLE_OK;
    brindle_error sink_error;
    const std::string expected = via_sink(&map, &root, pretty, &sink_status, &sink_error);
    ASSERT_EQ(sink_status, BRINDLE_OK) << sink_error.message;
    ASSERT_NE(expected.find("-13,"), std::string::npos);
    for (size_t size = 1; size <= expected.size() + 1; ++size) {
      brindle_status status = BRINDLE_OK;
      ASSERT_EQ(generated(&map, &root, pretty, size, &status, nullptr), expected) << size;
      ASSERT_EQ(status, BRINDLE_OK);
    }
  }
}

}  // namespace
