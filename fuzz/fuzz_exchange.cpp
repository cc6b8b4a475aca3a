// Answers of the JSON exchange and of streamed transfers, driven through their libcurl header
// and write callbacks: header lines (numeric headers, huge values, missing colons), then a typed
// success or error body within the byte limits. The body pushed whole and pushed in random slices
// must end the same way whenever it fits the limits.
#include "engine_fuzz_support.h"
#include "engine_internal.h"
#include "stream_internal.h"

namespace {

struct Setup {
  bool streamed;  // the streamed transfer's state instead of the JSON exchange's
  bool typed;     // streamed only: parse the success body instead of handing it to a writer
  uint64_t limit;
};

std::string describe_result(const sv_engine_http_result &result) {
  return "status=" + std::to_string(result.status) +
         " cid=" + fuzz::text_or_null(result.correlation_id) +
         " type=" + fuzz::text_or_null(result.content_type) +
         " etag=" + fuzz::text_or_null(result.etag) +
         " version=" + std::to_string(result.key_version) +
         " token=" + std::to_string(result.fencing_token) +
         " invalid=" + std::to_string(result.header_invalid) +
         " server=" + fuzz::text_or_null(result.server_error_code) +
         " detail=" + fuzz::text_or_null(result.detail) +
         " header_error=" + fuzz::text_or_null(result.header_error);
}

std::string exchange(const Setup &setup, const fuzz::Answer &answer, fuzz::Slicer *slicer) {
  const sv_engine_client *client = fuzz::engine_client(setup.limit);
  sv_engine_http_result result{};
  sv_engine_error error;
  sv_engine_error_init(&error);
  fuzz::Leaf leaf{};
  brindle_init(&fuzz::kLeafMap, &leaf);
  sv_engine_json_exchange_state state;
  sv_engine_json_exchange_state_init(&state, client, &result, &error, &fuzz::kLeafMap, &leaf);
  const bool complete = fuzz::feed_answer(
      answer, slicer,
      [&](char *line, size_t n) { return sv_engine_json_http_header_callback(line, 1, n, &state); },
      [&](char *bytes, size_t n) {
        return sv_engine_json_http_write_callback(bytes, 1, n, &state);
      });
  int status = error.code;
  if (complete && state.parser_started != 0 && state.discard_body == 0 &&
      state.parse.parser != nullptr) {
    const brindle_status finished = brindle_curl_parse_finish(&state.parse);
    if (finished != BRINDLE_OK && finished != BRINDLE_TRUNCATED) {
      status = sv_engine_brindle_error_from_status(&error, finished, &state.parse.error,
                                                   "failed to finish typed JSON response");
    } else if (state.error_mode != 0) {
      status = sv_engine_copy_error_body(&result, &state.error_body);
    }
  }
  std::string out = "exchange status=" + std::to_string(status) +
                    " complete=" + std::to_string(complete) + " " + fuzz::describe(error) + "\n" +
                    describe_result(result) + "\n";
  if (status == SV_OK && state.error_mode == 0) out += fuzz::written(&fuzz::kLeafMap, &leaf);
  sv_engine_json_exchange_state_cleanup(&state);
  brindle_cleanup(&fuzz::kLeafMap, &leaf);
  sv_engine_http_result_cleanup(&result);
  sv_engine_error_reset(&error);
  return out;
}

int collect(void *context, const char *bytes, size_t length, sv_engine_error *) {
  auto *out = static_cast<std::string *>(context);
  out->append(bytes, length);
  return out->size() < 4096 ? 1 : 0;  // a writer may refuse too
}

std::string streamed(const Setup &setup, const fuzz::Answer &answer, fuzz::Slicer *slicer) {
  const sv_engine_client *client = fuzz::engine_client(setup.limit);
  std::string written;
  StreamCall call(collect, &written);
  fuzz::Leaf leaf{};
  brindle_init(&fuzz::kLeafMap, &leaf);
  if (setup.typed) {
    call.state.response_map = &fuzz::kLeafMap;
    call.state.response_record = &leaf;
  }
  sv_engine_stream_state_reset_attempt(&call.state, client);
  const bool complete = fuzz::feed_answer(
      answer, slicer,
      [&](char *line, size_t n) {
        return sv_engine_stream_header_callback(line, 1, n, &call.state);
      },
      [&](char *bytes, size_t n) {
        return sv_engine_stream_write_callback(bytes, 1, n, &call.state);
      });
  int status = call.error.code;
  if (complete && call.state.parse.parser != nullptr) {
    const brindle_status finished = brindle_curl_parse_finish(&call.state.parse);
    if (finished != BRINDLE_OK && finished != BRINDLE_TRUNCATED) {
      status = sv_engine_brindle_error_from_status(&call.error, finished, &call.state.parse.error,
                                                   "failed to finish typed JSON response");
    }
  }
  const sv_engine_stream_state &s = call.state;
  std::string out =
      "stream status=" + std::to_string(status) + " complete=" + std::to_string(complete) + " " +
      fuzz::describe(call.error) + "\nhttp=" + std::to_string(s.status) +
      " etag=" + fuzz::text_or_null(s.etag) + " cid=" + fuzz::text_or_null(s.correlation_id) +
      " version=" + std::to_string(s.key_version) + " token=" + std::to_string(s.fencing_token) +
      " id=" + fuzz::text_or_null(s.attachment_id) + " size=" + std::to_string(s.attachment_size) +
      "\n";
  if (status == SV_OK) {
    out += setup.typed && s.error_mode == 0 ? fuzz::written(&fuzz::kLeafMap, &leaf) : written;
  }
  brindle_cleanup(&fuzz::kLeafMap, &leaf);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  ++data;
  --size;
  const Setup setup{(selector & 1u) != 0, (selector & 2u) != 0,
                    (selector & 4u) != 0 ? uint64_t{48} : uint64_t{0}};
  fuzz::Slicer slicer = fuzz::Slicer::from_prefix(data, size);
  const fuzz::Answer answer = fuzz::split_answer(reinterpret_cast<const char *>(data), size);
  // A body over a limit fails on the chunk that crosses it, which may come after a parse error
  // in an earlier slice: only bodies within every limit must not depend on the slicing.
  const bool comparable = answer.body.size() <= (setup.limit != 0 ? setup.limit : 8192);
  auto run = [&](fuzz::Slicer *plan) {
    return setup.streamed ? streamed(setup, answer, plan) : exchange(setup, answer, plan);
  };
  const std::string whole = run(nullptr);
  const std::string sliced = run(&slicer);
  if (comparable) fuzz::expect_same("answer, whole vs sliced", whole, sliced);
  return 0;
}
