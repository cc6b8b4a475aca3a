// Object stream: a sequence of objects read through a reader that hands out whole blocks, and
// through one that hands out random slices and sometimes nothing (would-block), gives the same
// objects, results and error records.
#include "fuzz_support.h"

namespace {

constexpr int kMaxCalls = 64;

std::string run(const char *doc, size_t size, fuzz::Slicer *slicer, bool reject_duplicates) {
  std::string log;
  const brindle_parse_options options = fuzz::parse_options(reject_duplicates);
  fuzz::SliceReader reader{doc, size, 0, slicer, slicer != nullptr, false};
  brindle_error error;
  brindle_error_init(&error);
  brindle_stream *stream = brindle_stream_open_reader(&fuzz::kParseMap, fuzz::SliceReader::read,
                                                      &reader, &options, &error);
  fuzz::expect(stream != nullptr, "open object stream", fuzz::describe(error));
  // One record until an object is stored: failures leave it as they leave it, in both runs.
  fuzz::Everything record;
  std::string strings;
  fuzz::prepare(&record, &strings);
  for (int call = 0; call < kMaxCalls; ++call) {
    int result;
    do {
      result = brindle_stream_next(stream, &record, &error);
    } while (result == BRINDLE_STREAM_WOULD_BLOCK);
    log += "result=" + std::to_string(result) + " " + fuzz::describe(error) + "\n";
    if (result == BRINDLE_STREAM_OBJECT) {
      log += fuzz::written(&fuzz::kWriteMap, &record) + "\n" + strings + "\n";
      brindle_cleanup(&fuzz::kParseMap, &record);
      strings.clear();
      fuzz::prepare(&record, &strings);
    }
    if (result == BRINDLE_STREAM_EOF) break;
  }
  log += strings;
  brindle_cleanup(&fuzz::kParseMap, &record);
  brindle_stream_close(stream);
  return log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const bool reject_duplicates = size > 0 && (data[0] & 2u) != 0;
  fuzz::Slicer slicer = fuzz::Slicer::from_prefix(data, size);
  const char *doc = reinterpret_cast<const char *>(data);
  fuzz::expect_same("object stream, whole vs sliced", run(doc, size, nullptr, reject_duplicates),
                    run(doc, size, &slicer, reject_duplicates));
  return 0;
}
