// A mapped read: the state response goes through the brindle push parser as it arrives, within
// the client's response limit, so a state of any size costs no more than its mapped record.
#include "lease_internal.h"

namespace {

constexpr uint64_t kDefaultLimit = 1048576;

}  // namespace

int sv_mapped_load_start(MappedLoad *load, const sv_client *client, const brindle_map *map,
                         void *destination, const brindle_parse_options *options,
                         const MappedLoadMessages *messages, sv_error *error) noexcept {
  load->messages = messages;
  const uint64_t configured = sv_client_impl_of(client)->response_limit_bytes;
  load->limit = configured == 0 ? kDefaultLimit : configured;
  const brindle_parse_options defaults = brindle_default_parse_options();
  const brindle_status status =
      brindle_curl_parse_init(&load->parser, map, destination, options ? options : &defaults);
  if (status != BRINDLE_OK) {
    return sv_brindle_error_from_status(error, status, &load->parser.error, messages->init_failed);
  }
  load->started = true;
  return SV_OK;
}

int sv_mapped_load_write(void *context, const char *bytes, size_t length,
                         sv_engine_error *engine_error) noexcept {
  auto *load = static_cast<MappedLoad *>(context);
  if (load == nullptr || !load->started) {
    sv_engine_set_client_error(engine_error, SV_ERR_INVALID,
                               load != nullptr && load->messages != nullptr
                                   ? load->messages->state_missing
                                   : "mapped lease load state is required");
    return 0;
  }
  if (load->limit > 0 && (length > load->limit || load->total > load->limit - length)) {
    sv_engine_set_client_error(engine_error, SV_ERR_PROTOCOL,
                               "mapped state response exceeds configured byte limit");
    return 0;
  }
  if (length > 0 &&
      brindle_curl_write_callback(const_cast<char *>(bytes), 1, length, &load->parser) != length) {
    sv_engine_brindle_error_from_status(engine_error, load->parser.error.code, &load->parser.error,
                                        load->messages->chunk_failed);
    return 0;
  }
  load->total += length;
  return 1;
}

int sv_mapped_load_finish(MappedLoad *load, sv_error *error) noexcept {
  const brindle_status status = brindle_curl_parse_finish(&load->parser);
  return sv_brindle_error_from_status(error, status, &load->parser.error,
                                      load->messages->finish_failed);
}

void sv_mapped_load_cleanup(MappedLoad *load) noexcept {
  brindle_curl_parse_cleanup(&load->parser);
  load->started = false;
}
