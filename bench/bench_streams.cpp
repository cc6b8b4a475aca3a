// Streaming readers on generated data (no corpus needed): multipart bodies with 1 MiB parts,
// counted (Content-Length) and delimited; 100k small JSON server-sent events; and an array of
// 100k objects read element by element into records (against yajl's push parser filling the same
// records). Input is pushed in 64 KiB slices.
#include <algorithm>
#include <string>

#include "parsers.h"
#include "registry.h"
#include "target.h"

namespace bench {

namespace {

constexpr size_t kSlice = 65536;
constexpr size_t kPartBytes = 1 << 20;
constexpr size_t kParts = 8;
constexpr size_t kEvents = 100000;
constexpr size_t kItems = 100000;
constexpr char kBoundary[] = "bench-boundary-7f3a9c";

// Part bodies look like text with line breaks and dashes, so the delimiter search has work.
std::string part_body(size_t seed) {
  std::string body(kPartBytes, 'x');
  uint64_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < body.size(); ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const unsigned r = static_cast<unsigned>(state >> 58);
    body[i] = r == 0 ? '\n' : r == 1 ? '-' : r == 2 ? '\r' : static_cast<char>('a' + r % 26);
  }
  return body;
}

std::string multipart_body(bool counted) {
  std::string out;
  for (size_t i = 0; i < kParts; ++i) {
    out += std::string("--") + kBoundary + "\r\nContent-Type: application/octet-stream\r\n";
    if (counted) out += "Content-Length: " + std::to_string(kPartBytes) + "\r\n";
    out += "\r\n" + part_body(i) + "\r\n";
  }
  return out + "--" + kBoundary + "--\r\n";
}

struct PartCount {
  size_t parts = 0;
  size_t bytes = 0;
};

int on_part_data(void *user, const char *, size_t length, brindle_error *) {
  static_cast<PartCount *>(user)->bytes += length;
  return 0;
}
int on_end_part(void *user, const brindle_multipart_part *, brindle_error *) {
  ++static_cast<PartCount *>(user)->parts;
  return 0;
}

bool run_multipart(const std::string &body, PartCount *count) {
  const std::string type = std::string("multipart/related; boundary=") + kBoundary;
  brindle_multipart *parser = brindle_multipart_open(type.c_str(), nullptr, nullptr);
  if (parser == nullptr) return false;
  brindle_multipart_callbacks callbacks = {nullptr, on_part_data, on_end_part};
  bool ok = true;
  for (size_t at = 0; ok && at < body.size(); at += kSlice) {
    ok = brindle_multipart_push(parser, body.data() + at, std::min(kSlice, body.size() - at),
                                &callbacks, count, nullptr) == BRINDLE_OK;
  }
  ok = ok && brindle_multipart_finish(parser, nullptr) == BRINDLE_OK;
  brindle_multipart_close(parser);
  return ok;
}

void multipart_benchmark(benchmark::State &state, bool counted) {
  const std::string body = multipart_body(counted);
  PartCount count;
  if (!run_multipart(body, &count) || count.parts != kParts || count.bytes != kParts * kPartBytes) {
    state.SkipWithError("MISMATCH: multipart parts or bytes differ from what was generated");
    return;
  }
  for (auto _ : state) {
    PartCount c;
    if (!run_multipart(body, &c)) {
      state.SkipWithError("multipart push failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

// ---- Records of the generated JSON -----------------------------------------------------------

struct Item {
  int64_t id;
  char *name;
  double score;
  int32_t ok;
  brindle_array tags;  // char *
};

const brindle_field kItemFields[] = {
    BRINDLE_DECL_I64(Item, id, "id", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(Item, name, "name", 0),
    BRINDLE_DECL_F64(Item, score, "score", 0),
    BRINDLE_DECL_BOOL(Item, ok, "ok", 0),
    BRINDLE_DECL_ARRAY(Item, tags, "tags", BRINDLE_FIELD_STRING_ARRAY, 0),
};
const brindle_map kItemMap = BRINDLE_MAP("item_json", Item, kItemFields);

std::string item_json(size_t i) {
  return "{\"id\":" + std::to_string(i) + ",\"name\":\"item-" + std::to_string(i) +
         "\",\"score\":" + std::to_string(i % 1000) + ".5,\"ok\":" + (i % 2 ? "true" : "false") +
         ",\"tags\":[\"alpha\",\"beta\"]}";
}

// What the consumers saw: the count and sums that tell whether every element arrived whole.
struct Tally {
  size_t count = 0;
  int64_t id_sum = 0;
  double score_sum = 0;
  size_t tags = 0;
  void add(const Item &item) {
    ++count;
    id_sum += item.id;
    score_sum += item.score;
    tags += item.tags.count;
  }
  bool expected(size_t n) const {
    const auto k = static_cast<int64_t>(n);
    return count == n && id_sum == k * (k - 1) / 2 && tags == 2 * n;
  }
};

// ---- SSE -------------------------------------------------------------------------------------

int on_event(void *user, const brindle_sse_event *, void *destination, brindle_error *) {
  static_cast<Tally *>(user)->add(*static_cast<Item *>(destination));
  return 0;
}

bool run_sse(const std::string &stream, Tally *tally) {
  brindle_sse *parser = brindle_sse_open(nullptr, nullptr);
  if (parser == nullptr) return false;
  Item item;
  bool ok = true;
  for (size_t at = 0; ok && at < stream.size(); at += kSlice) {
    ok = brindle_sse_push_json(parser, &kItemMap, &item, stream.data() + at,
                               std::min(kSlice, stream.size() - at), nullptr, on_event, tally,
                               nullptr) == BRINDLE_OK;
  }
  ok = ok && brindle_sse_finish_json(parser, &kItemMap, &item, nullptr, on_event, tally, nullptr) ==
                 BRINDLE_OK;
  brindle_sse_close(parser);
  if (tally->count > 0) brindle_cleanup(&kItemMap, &item);
  return ok;
}

void sse_benchmark(benchmark::State &state) {
  std::string stream;
  for (size_t i = 0; i < kEvents; ++i)
    stream += "event: item\ndata: " + item_json(i) + "\n\n";
  Tally tally;
  if (!run_sse(stream, &tally) || !tally.expected(kEvents)) {
    state.SkipWithError("MISMATCH: SSE events differ from what was generated");
    return;
  }
  for (auto _ : state) {
    Tally t;
    if (!run_sse(stream, &t)) {
      state.SkipWithError("SSE push failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

// ---- Array stream ----------------------------------------------------------------------------

int on_item(void *user, void *destination) {
  static_cast<Tally *>(user)->add(*static_cast<Item *>(destination));
  return 0;
}

bool run_array(const std::string &text, Tally *tally) {
  brindle_array_stream *stream = brindle_array_stream_open_push(nullptr, nullptr, nullptr);
  if (stream == nullptr) return false;
  Item item;
  brindle_init(&kItemMap, &item);
  bool ok = true;
  for (size_t at = 0; ok && at < text.size(); at += kSlice) {
    ok = brindle_array_stream_push(stream, &kItemMap, &item, text.data() + at,
                                   std::min(kSlice, text.size() - at), on_item, tally,
                                   nullptr) == BRINDLE_OK;
  }
  ok = ok &&
       brindle_array_stream_finish(stream, &kItemMap, &item, on_item, tally, nullptr) == BRINDLE_OK;
  brindle_array_stream_close(stream);
  brindle_cleanup(&kItemMap, &item);
  return ok;
}

void on_yajl_item(void *user, void *record) {
  static_cast<Tally *>(user)->add(*static_cast<Item *>(record));
}

// The same elements through yajl's push parser and the peers' record builder.
bool run_yajl_array(const std::string &text, Tally *tally) {
  Item item;
  return stream_yajl(&kItemMap, &item, text, kSlice, on_yajl_item, tally);
}

void array_benchmark(benchmark::State &state, bool peer) {
  std::string text = "[";
  for (size_t i = 0; i < kItems; ++i)
    text += (i ? ",\n" : "\n") + item_json(i);
  text += "\n]\n";
  auto run = peer ? run_yajl_array : run_array;
  Tally tally, reference;
  if (!run(text, &tally) || !tally.expected(kItems) || !run_array(text, &reference) ||
      tally.score_sum != reference.score_sum) {
    state.SkipWithError("MISMATCH: array elements differ from what was generated");
    return;
  }
  for (auto _ : state) {
    Tally t;
    if (!run(text, &t)) {
      state.SkipWithError("array stream push failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

}  // namespace

void register_stream_benchmarks() {
  add_benchmark("multipart_counted_1MiB", kBrindleColumn,
                [](benchmark::State &s) { multipart_benchmark(s, true); });
  add_benchmark("multipart_delimited_1MiB", kBrindleColumn,
                [](benchmark::State &s) { multipart_benchmark(s, false); });
  add_benchmark("sse_100k_json_events", kBrindleColumn, sse_benchmark);
  add_benchmark("array_stream_100k_objects", kBrindleColumn,
                [](benchmark::State &s) { array_benchmark(s, false); });
  add_benchmark("array_stream_100k_objects", kYajlColumn,
                [](benchmark::State &s) { array_benchmark(s, true); });
}

}  // namespace bench
