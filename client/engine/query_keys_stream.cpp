// query_keys: a JSON keys answer {"keys":[...],"cursor":...,"index_seq":N,"metadata":{...}} is
// parsed as it arrives; each key reaches the caller's handler as begin, chunks of its decoded
// text, end, so no key is ever held whole.
#include <cstring>
#include <new>

#include "decoder_internal.h"

namespace {

// Cursor text kept from the body; a longer cursor fails the parse instead of growing memory.
constexpr size_t kCursorCapacity = SV_ENGINE_QUERY_HEADER_VALUE_LIMIT + 1;

struct KeysAnswer {
  brindle_string_array_stream keys;
  char cursor[kCursorCapacity];
  uint64_t index_seq;
  int32_t has_index_seq;
  brindle_json_value metadata;
};

const brindle_field keys_answer_fields[] = {
    BRINDLE_DECL_STRING_STREAM(KeysAnswer, keys, "keys", 0),
    BRINDLE_DECL_FIXED_STRING(KeysAnswer, cursor, "cursor", 0, BRINDLE_OVERFLOW_FAIL),
    BRINDLE_DECL_PRESENT(KeysAnswer, index_seq, "index_seq", BRINDLE_FIELD_U64, 0, has_index_seq),
    BRINDLE_DECL_JSON_VALUE(KeysAnswer, metadata, "metadata", 0),
};

const brindle_map keys_answer_map =
    BRINDLE_MAP("sv_engine_query_keys_response_json", KeysAnswer, keys_answer_fields);

class KeysConsumer final : public QueryBodyConsumer {
 public:
  KeysConsumer(const sv_engine_client *client, const sv_engine_query_key_handler *handler,
               void *context, sv_engine_error *error)
      : handler_(handler), context_(context), error_(error) {
    metadata_limit_ = client->response_limit_bytes != 0 ? client->response_limit_bytes
                                                        : SV_ENGINE_DEFAULT_RESPONSE_LIMIT;
  }
  ~KeysConsumer() override {
    end_attempt();
    delete answer_;
  }
  KeysConsumer(const KeysConsumer &) = delete;
  KeysConsumer &operator=(const KeysConsumer &) = delete;

  int start_attempt(sv_engine_error *error) noexcept override {
    end_attempt();
    if (answer_ == nullptr) answer_ = new (std::nothrow) KeysAnswer;
    if (answer_ == nullptr) {
      return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to prepare query keys parser");
    }
    brindle_init(&keys_answer_map, answer_);
    active_ = true;
    brindle_error setup;
    brindle_error_init(&setup);
    const brindle_string_stream_handler adapters = {begin_key, key_chunk, end_key};
    brindle_status status =
        brindle_string_array_stream_set_handler(&answer_->keys, &adapters, this, &setup);
    if (status != BRINDLE_OK) {
      return sv_engine_brindle_error_from_status(error, status, &setup,
                                                 "failed to configure query keys stream");
    }
    status = brindle_json_value_set_parse_sink(&answer_->metadata, capture_metadata, this, &setup);
    if (status != BRINDLE_OK) {
      return sv_engine_brindle_error_from_status(error, status, &setup,
                                                 "failed to configure query metadata capture");
    }
    // The destination is set up above; the parser must not initialise it again.
    brindle_parse_options options = brindle_default_parse_options();
    options.clear_destination = 0;
    status = brindle_curl_parse_init(&parse_, &keys_answer_map, answer_, &options);
    parser_started_ = true;
    if (status != BRINDLE_OK) {
      return sv_engine_brindle_error_from_status(error, status, &parse_.error,
                                                 "failed to configure query keys parser");
    }
    return SV_OK;
  }

  bool consume(const char *bytes, size_t length, sv_engine_error *error) noexcept override {
    const size_t taken = brindle_curl_write_callback(const_cast<char *>(bytes), 1, length, &parse_);
    if (taken == length) return true;
    if (error->code == 0) {
      const int code = parse_.error.code != 0 ? parse_.error.code : BRINDLE_INVALID_JSON;
      sv_engine_brindle_error_from_status(error, code, &parse_.error,
                                          "failed to parse query keys response");
    }
    return false;
  }

  int finish(const sv_engine_client *client, sv_engine_query_stream_response *response,
             sv_engine_error *error) noexcept override {
    const brindle_status finished = brindle_curl_parse_finish(&parse_);
    if (finished != BRINDLE_OK) {
      return sv_engine_brindle_error_from_status(error, finished, &parse_.error,
                                                 "failed to parse query keys response");
    }
    // Headers win; the body fills only what they did not give.
    const char *cursor = answer_->cursor;
    if (response->cursor == nullptr && cursor[0] != '\0' &&
        !sv_engine_query_capture(client, &response->cursor, cursor, cursor + std::strlen(cursor))) {
      return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to capture query cursor");
    }
    if (response->has_index_seq == 0 && answer_->has_index_seq != 0) {
      response->index_seq = answer_->index_seq;
      response->has_index_seq = 1;
    }
    if (response->metadata == nullptr && metadata_.data != nullptr &&
        !sv_engine_query_capture(client, &response->metadata, metadata_.data,
                                 metadata_.data + metadata_.length)) {
      return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to capture query metadata");
    }
    return SV_OK;
  }

  void end_attempt() noexcept override {
    if (parser_started_) brindle_curl_parse_cleanup(&parse_);
    parse_ = brindle_curl_parse{};
    parser_started_ = false;
    if (active_) brindle_cleanup(&keys_answer_map, answer_);
    active_ = false;
    sv_engine_buffer_cleanup(&metadata_);
  }

 private:
  // A handler function that refused: its own error, or a transport error naming the step.
  brindle_status refused(const char *message) {
    if (error_->code == 0) sv_engine_set_transport_error(error_, message);
    return BRINDLE_CALLBACK_FAILED;
  }

  static brindle_status begin_key(void *user, brindle_error *, brindle_string_array_stream *) {
    auto *self = static_cast<KeysConsumer *>(user);
    if (self->handler_->begin == nullptr ||
        self->handler_->begin(self->context_, self->error_) != 0)
      return BRINDLE_OK;
    return self->refused("query key begin callback failed");
  }

  static brindle_status key_chunk(void *user, const char *bytes, size_t length, brindle_error *) {
    auto *self = static_cast<KeysConsumer *>(user);
    if (self->handler_->chunk == nullptr ||
        self->handler_->chunk(self->context_, bytes, length, self->error_) != 0)
      return BRINDLE_OK;
    return self->refused("query key chunk callback failed");
  }

  static brindle_status end_key(void *user, brindle_error *) {
    auto *self = static_cast<KeysConsumer *>(user);
    if (self->handler_->end == nullptr || self->handler_->end(self->context_, self->error_) != 0)
      return BRINDLE_OK;
    return self->refused("query key end callback failed");
  }

  // The metadata member's compact text, within the client's response limit.
  static brindle_status capture_metadata(void *user, const char *bytes, size_t length,
                                         brindle_error *) {
    auto *self = static_cast<KeysConsumer *>(user);
    const int status =
        sv_engine_buffer_append_limited(&self->metadata_, bytes, length, self->metadata_limit_);
    if (status == SV_OK) return BRINDLE_OK;
    if (self->error_->code == 0) {
      sv_engine_set_client_error(self->error_,
                                 self->metadata_.length + length + 1 > self->metadata_limit_
                                     ? SV_ERR_PROTOCOL
                                     : SV_ERR_NOMEM,
                                 "query metadata exceeds configured byte limit");
    }
    return BRINDLE_CALLBACK_FAILED;
  }

  const sv_engine_query_key_handler *handler_;
  void *context_;
  sv_engine_error *error_;
  size_t metadata_limit_ = 0;
  KeysAnswer *answer_ = nullptr;
  bool active_ = false;
  brindle_curl_parse parse_{};
  bool parser_started_ = false;
  sv_engine_buffer metadata_{};
};

}  // namespace

extern "C" {

SV_API int sv_engine_client_query_keys(const sv_engine_client *client,
                                       const sv_engine_query_request *request,
                                       const sv_engine_query_key_handler *handler,
                                       void *handler_context,
                                       sv_engine_query_stream_response *response,
                                       sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || handler == nullptr || response == nullptr ||
      error == nullptr) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "query_keys requires client, request, handler, response, and error");
  }
  sv_engine_error_reset(error);
  sv_engine_query_stream_response_cleanup(client, response);
  if (request->selector_json == nullptr || request->selector_json[0] == '\0') {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "query_keys requires selector_json");
  }
  sv_engine_query_body body;
  int status = sv_engine_query_body_prepare(client, request, true, &body, error);
  if (status != SV_OK) return status;
  {
    KeysConsumer consumer(client, handler, handler_context, error);
    status = sv_engine_query_stream_run(client, request, &body, consumer, response, error);
  }
  sv_engine_query_body_cleanup(&body);
  return status;
}

}  // extern "C"

QueryBodyConsumer *sv_engine_query_keys_consumer_new(const sv_engine_client *client,
                                                     const sv_engine_query_key_handler *handler,
                                                     void *context,
                                                     sv_engine_error *error) noexcept {
  return new (std::nothrow) KeysConsumer(client, handler, context, error);
}
