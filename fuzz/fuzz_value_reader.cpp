// Raw JSON values: set-buffer keeps the compact text of exactly one value. That text validates,
// sets again to itself, and is what a sliced reader-backed value re-emits for the same input.
#include "fuzz_support.h"

namespace {

struct Stored {
  brindle_status status;
  std::string error;
  std::string text;
};

Stored emit(const brindle_json_value &value) {
  Stored out{};
  brindle_error error;
  brindle_error_init(&error);
  out.status = brindle_json_value_write_to_sink(&value, fuzz::append_sink, &out.text, &error);
  out.error = fuzz::describe(error);
  return out;
}

Stored set_buffer(const char *bytes, size_t size) {
  brindle_json_value value;
  brindle_json_value_init(&value);
  brindle_error error;
  brindle_error_init(&error);
  Stored out{};
  out.status = brindle_json_value_set_buffer(&value, bytes, size, &error);
  out.error = fuzz::describe(error);
  if (out.status == BRINDLE_OK) {
    fuzz::expect(value.kind == BRINDLE_JSON_VALUE_BUFFER, "set-buffer leaves a buffer value");
    out.text.assign(value.buffer, value.length);
    const Stored written = emit(value);
    fuzz::expect(written.status == BRINDLE_OK, "stored value writes", written.error);
    fuzz::expect_same("stored text vs written text", out.text, written.text);
  } else {
    fuzz::expect(value.kind == BRINDLE_JSON_VALUE_NONE, "failed set-buffer leaves the value");
  }
  brindle_json_value_cleanup(&value);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Slicer slicer = fuzz::Slicer::from_prefix(data, size);
  const char *doc = reinterpret_cast<const char *>(data);
  const Stored first = set_buffer(doc, size);

  brindle_error validate_error;
  brindle_error_init(&validate_error);
  const brindle_status validated = brindle_validate_buffer(doc, size, &validate_error);
  if ((first.status == BRINDLE_OK) != (validated == BRINDLE_OK)) {
    fuzz::fail("set-buffer and validate disagree", first.error, fuzz::describe(validate_error));
  }

  // A reader value re-emits the same compact text when written, whatever the slicing.
  brindle_json_value reader_value;
  brindle_json_value_init(&reader_value);
  fuzz::SliceReader reader{doc, size, 0, &slicer, false, false};
  const brindle_status set =
      brindle_json_value_set_reader(&reader_value, fuzz::SliceReader::read, &reader, nullptr);
  fuzz::expect(set == BRINDLE_OK, "set reader");
  const Stored streamed = emit(reader_value);
  brindle_json_value_cleanup(&reader_value);
  if ((streamed.status == BRINDLE_OK) != (first.status == BRINDLE_OK)) {
    fuzz::fail("set-buffer and reader write disagree", first.error, streamed.error);
  }
  if (first.status != BRINDLE_OK) return 0;
  fuzz::expect_same("set-buffer text vs reader text", first.text, streamed.text);

  // A JSON value member that captures the same value during a mapped parse keeps the same text.
  const std::string wrapped = "{\"i\":0,\"raw\":" + std::string(doc, size) + "}";
  fuzz::Everything record;
  std::string strings;
  fuzz::prepare(&record, &strings);
  const brindle_parse_options options = fuzz::parse_options(false);
  brindle_error parse_error;
  brindle_error_init(&parse_error);
  const brindle_status parsed = brindle_parse_buffer(&fuzz::kParseMap, &record, wrapped.data(),
                                                     wrapped.size(), &options, &parse_error);
  if (parsed == BRINDLE_OK) {
    fuzz::expect(record.raw.kind == BRINDLE_JSON_VALUE_BUFFER, "captured value is a buffer");
    fuzz::expect_same("set-buffer text vs captured text", first.text,
                      std::string(record.raw.buffer, record.raw.length));
  }
  brindle_cleanup(&fuzz::kParseMap, &record);

  // The compact text is a fixed point.
  brindle_error again_error;
  brindle_error_init(&again_error);
  fuzz::expect(
      brindle_validate_buffer(first.text.data(), first.text.size(), &again_error) == BRINDLE_OK,
      "compact text validates", fuzz::describe(again_error));
  const Stored second = set_buffer(first.text.data(), first.text.size());
  fuzz::expect(second.status == BRINDLE_OK, "compact text sets again", second.error);
  fuzz::expect_same("compact text is stable", first.text, second.text);
  return 0;
}
