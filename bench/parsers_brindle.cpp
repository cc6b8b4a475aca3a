// libbrindle as the parsers under test: one-shot, push-fed, and validation.
#include <algorithm>

#include "parsers.h"

namespace bench {

namespace {

// The record was prepared (init plus visitors) by the target, which a clearing parse would undo.
brindle_parse_options keep_destination() {
  brindle_parse_options options = brindle_default_parse_options();
  options.clear_destination = 0;
  return options;
}

bool failed(const brindle_error &error, std::string *why) {
  *why = std::string("brindle: ") + brindle_status_string(error.code) + ": " + error.message;
  return false;
}

bool not_prepared(std::string *why) {
  *why = "brindle: the JSON value visitor could not be installed";
  return false;
}

}  // namespace

bool parse_brindle(Target &target, const std::string &bytes, std::string *why) {
  if (!target.prepare_brindle()) return not_prepared(why);
  const brindle_parse_options options = keep_destination();
  brindle_error error;
  const brindle_status status = brindle_parse_buffer(target.map(), target.record(), bytes.data(),
                                                     bytes.size(), &options, &error);
  return status == BRINDLE_OK || failed(error, why);
}

bool parse_brindle_push(Target &target, const std::string &bytes, size_t chunk, std::string *why) {
  if (!target.prepare_brindle()) return not_prepared(why);
  const brindle_parse_options options = keep_destination();
  brindle_curl_parse adapter;
  if (brindle_curl_parse_init(&adapter, target.map(), target.record(), &options) != BRINDLE_OK) {
    return failed(adapter.error, why);
  }
  bool ok = true;
  for (size_t at = 0; ok && at < bytes.size(); at += chunk) {
    const size_t length = std::min(chunk, bytes.size() - at);
    char *piece = const_cast<char *>(bytes.data() + at);
    ok = brindle_curl_write_callback(piece, 1, length, &adapter) == length;
  }
  ok = ok && brindle_curl_parse_finish(&adapter) == BRINDLE_OK;
  if (!ok) failed(adapter.error, why);
  brindle_curl_parse_cleanup(&adapter);
  return ok;
}

bool validate_brindle(const std::string &bytes) {
  return brindle_validate_buffer(bytes.data(), bytes.size(), nullptr) == BRINDLE_OK;
}

}  // namespace bench
