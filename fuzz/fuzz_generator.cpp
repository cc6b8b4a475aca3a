// Generator against serializer: the record a document parses into (complete or not) is written
// by the serializer and pulled from the generator in random read sizes, compact and pretty; the
// bytes, the status and the measured length agree.
#include "fuzz_support.h"

namespace {

struct Written {
  brindle_status status;
  std::string text;
  std::string error;
};

Written serialize(const fuzz::Everything &record, const brindle_write_options &options) {
  Written out{};
  brindle_owned_buffer buffer = brindle_default_owned_buffer();
  brindle_error error;
  brindle_error_init(&error);
  out.status = brindle_serialize_owned(&fuzz::kWriteMap, &record, &buffer, &options, &error);
  if (out.status == BRINDLE_OK) out.text.assign(buffer.data, buffer.length);
  out.error = fuzz::describe(error);
  brindle_owned_buffer_free(&buffer);
  return out;
}

Written generate(const fuzz::Everything &record, const brindle_write_options &options,
                 fuzz::Slicer *slicer) {
  Written out{};
  brindle_generator generator;
  out.status = brindle_generator_init(&generator, &fuzz::kWriteMap, &record, &options);
  char block[128];
  int done = 0;
  for (int guard = 0; out.status == BRINDLE_OK && done == 0; ++guard) {
    fuzz::expect(guard < (1 << 22), "generator makes progress");
    const size_t capacity = slicer->next(sizeof(block));
    size_t length = 0;
    out.status = brindle_generator_read(&generator, block, capacity, &length, &done);
    fuzz::expect(length <= capacity, "generator stays within the buffer");
    out.text.append(block, length);
  }
  out.error = fuzz::describe(generator.error);
  brindle_generator_cleanup(&generator);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const bool pretty = size > 0 && (data[0] & 2u) != 0;
  fuzz::Slicer slicer = fuzz::Slicer::from_prefix(data, size);
  fuzz::Everything record;
  std::string strings;
  fuzz::prepare(&record, &strings);
  const brindle_parse_options parse = fuzz::parse_options(false);
  brindle_parse_buffer(&fuzz::kParseMap, &record, reinterpret_cast<const char *>(data), size,
                       &parse, nullptr);

  brindle_write_options options = brindle_default_write_options();
  options.pretty = pretty ? 1 : 0;
  const Written serialized = serialize(record, options);
  const Written generated = generate(record, options, &slicer);
  fuzz::expect_same("generator vs serializer status",
                    std::to_string(serialized.status) + " " + serialized.error,
                    std::to_string(generated.status) + " " + generated.error);
  if (serialized.status == BRINDLE_OK) {
    fuzz::expect_same("generator vs serializer bytes", serialized.text, generated.text);
    size_t measured = 0;
    brindle_error error;
    brindle_error_init(&error);
    const brindle_status status =
        brindle_generator_measure(&fuzz::kWriteMap, &record, &options, &measured, &error);
    fuzz::expect(status == BRINDLE_OK, "measure", fuzz::describe(error));
    fuzz::expect(measured == serialized.text.size(), "measured length", serialized.text);

    // A buffer too small by some bytes keeps the prefix that fits and reports the full length.
    brindle_write_options cut = options;
    cut.overflow = BRINDLE_OVERFLOW_TRUNCATE;
    const size_t capacity = slicer.next(serialized.text.size() + 1);
    std::string buffer(capacity, '\xff');
    size_t needed = 0;
    brindle_error_init(&error);
    const brindle_status cut_status = brindle_serialize_buffer(
        &fuzz::kWriteMap, &record, buffer.data(), capacity, &needed, &cut, &error);
    fuzz::expect(needed == serialized.text.size(), "buffer form reports the full length");
    const size_t kept =
        capacity - 1 < serialized.text.size() ? capacity - 1 : serialized.text.size();
    fuzz::expect(cut_status == (kept < serialized.text.size() ? BRINDLE_TRUNCATED : BRINDLE_OK),
                 "buffer form status", fuzz::describe(error));
    fuzz::expect(buffer[kept] == '\0', "buffer form is NUL-terminated");
    fuzz::expect_same("buffer form prefix", serialized.text.substr(0, kept),
                      buffer.substr(0, kept));
  }
  brindle_cleanup(&fuzz::kParseMap, &record);
  return 0;
}
