// libcurl callback adapters: a response body pushed into the mapped parser as it arrives, and a
// request body pulled from the generator as it is sent. They follow libcurl's callback
// conventions and make no libcurl calls themselves.
#include "../core/internal.h"
#include "../core/parser_api.h"
#include "brindle_curl.h"

extern "C" {

BRINDLE_API brindle_status brindle_curl_parse_init(brindle_curl_parse *adapter,
                                                   const brindle_map *map, void *destination,
                                                   const brindle_parse_options *options) noexcept {
  if (adapter == nullptr) return BRINDLE_INVALID_ARGUMENT;
  adapter->parser = nullptr;
  brindle_error_init(&adapter->error);
  if (map == nullptr || destination == nullptr) {
    return brindle__fail(&adapter->error, BRINDLE_INVALID_ARGUMENT,
                         "map and destination are required");
  }
  const brindle_allocator *allocator = options != nullptr ? options->allocator : nullptr;
  if (!brindle__allocator_is_valid(allocator)) {
    return brindle__fail(&adapter->error, BRINDLE_INVALID_ARGUMENT,
                         "allocator must provide either all callbacks or none");
  }
  brindle_parser *parser = brindle__parser_new(allocator);
  if (parser == nullptr) {
    return brindle__fail(&adapter->error, BRINDLE_ALLOCATION_FAILED, "failed to allocate parser");
  }
  const brindle_status status = brindle__parser_init_state(parser, map, destination, options, 0);
  if (status != BRINDLE_OK) {
    adapter->error = *brindle__parser_error(parser);
    brindle__parser_delete(parser);
    return status;
  }
  brindle__parser_prepare_record(map, destination, options);
  adapter->parser = parser;
  return BRINDLE_OK;
}

BRINDLE_API size_t brindle_curl_write_callback(char *bytes, size_t size, size_t count,
                                               void *adapter) noexcept {
  auto *parse = static_cast<brindle_curl_parse *>(adapter);
  if (parse == nullptr || parse->parser == nullptr) return 0;
  size_t total = 0;
  if (__builtin_mul_overflow(size, count, &total)) {
    brindle__fail(&parse->error, BRINDLE_INVALID_ARGUMENT, "write callback size is too large");
    return 0;
  }
  if (total == 0) return 0;
  if (bytes == nullptr) {
    brindle__fail(&parse->error, BRINDLE_INVALID_ARGUMENT, "write callback bytes are required");
    return 0;
  }
  size_t consumed = 0;
  const brindle_status status =
      brindle__parser_feed_bytes(parse->parser, bytes, total, &consumed, 0);
  if (status == BRINDLE_OK || status == BRINDLE_TRUNCATED) return total;
  parse->error = *brindle__parser_error(parse->parser);
  return 0;
}

BRINDLE_API brindle_status brindle_curl_parse_finish(brindle_curl_parse *adapter) noexcept {
  if (adapter == nullptr || adapter->parser == nullptr) return BRINDLE_INVALID_ARGUMENT;
  const brindle_status status = brindle_parser_finish(adapter->parser);
  adapter->error = *brindle__parser_error(adapter->parser);
  return status;
}

BRINDLE_API void brindle_curl_parse_cleanup(brindle_curl_parse *adapter) noexcept {
  if (adapter == nullptr) return;
  brindle__parser_delete(adapter->parser);
  adapter->parser = nullptr;
}

BRINDLE_API brindle_status brindle_curl_upload_init(brindle_curl_upload *adapter,
                                                    const brindle_map *map, const void *record,
                                                    const brindle_write_options *options) noexcept {
  if (adapter == nullptr) return BRINDLE_INVALID_ARGUMENT;
  return brindle_generator_init(&adapter->generator, map, record, options);
}

BRINDLE_API size_t brindle_curl_read_callback(char *buffer, size_t size, size_t count,
                                              void *adapter) noexcept {
  auto *upload = static_cast<brindle_curl_upload *>(adapter);
  if (buffer == nullptr || upload == nullptr || upload->generator.state == nullptr) {
    return BRINDLE_CURL_READFUNC_ABORT;
  }
  size_t capacity = 0;
  if (__builtin_mul_overflow(size, count, &capacity)) capacity = SIZE_MAX;
  if (capacity == 0) return 0;
  // Counts at or above the abort value mean abort or pause to libcurl.
  if (capacity >= BRINDLE_CURL_READFUNC_ABORT) capacity = BRINDLE_CURL_READFUNC_ABORT - 1;
  size_t produced = 0;
  if (brindle_generator_read(&upload->generator, buffer, capacity, &produced, nullptr) !=
      BRINDLE_OK) {
    return BRINDLE_CURL_READFUNC_ABORT;
  }
  return produced;
}

BRINDLE_API long brindle_curl_upload_size(const brindle_curl_upload *) noexcept {
  return -1;
}

BRINDLE_API void brindle_curl_upload_cleanup(brindle_curl_upload *adapter) noexcept {
  if (adapter == nullptr) return;
  brindle_generator_cleanup(&adapter->generator);
}

}  // extern "C"
