// Enqueueing a message whose payload comes from a reader: a multipart/related upload of a JSON
// "meta" part and a "payload" part, produced piece by piece while libcurl sends it, and rewound
// in full before it is sent to another endpoint.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "brindle_io.h"
#include "stream_internal.h"

namespace {

struct EnqueueMeta {
  char *namespace_name;
  char *queue;
  int64_t delay_seconds;
  int64_t visibility_timeout_seconds;
  int64_t ttl_seconds;
  int64_t max_attempts;
  char *payload_content_type;
};

const brindle_field enqueue_meta_fields[] = {
    BRINDLE_DECL_STRING(EnqueueMeta, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(EnqueueMeta, queue, "queue", 0),
    BRINDLE_DECL_I64(EnqueueMeta, delay_seconds, "delay_seconds", 0),
    BRINDLE_DECL_I64(EnqueueMeta, visibility_timeout_seconds, "visibility_timeout_seconds", 0),
    BRINDLE_DECL_I64(EnqueueMeta, ttl_seconds, "ttl_seconds", 0),
    BRINDLE_DECL_I64(EnqueueMeta, max_attempts, "max_attempts", 0),
    BRINDLE_DECL_STRING(EnqueueMeta, payload_content_type, "payload_content_type", 0),
};

const brindle_map enqueue_meta_map =
    BRINDLE_MAP("sv_engine_enqueue_meta_json", EnqueueMeta, enqueue_meta_fields);

struct EnqueueReply {
  char *namespace_name;
  char *queue;
  char *message_id;
  int64_t attempts;
  int64_t max_attempts;
  int64_t failure_attempts;
  int64_t not_visible_until_unix;
  int64_t visibility_timeout_seconds;
  int64_t payload_bytes;
};

const brindle_field enqueue_reply_fields[] = {
    BRINDLE_DECL_STRING(EnqueueReply, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(EnqueueReply, queue, "queue", 0),
    BRINDLE_DECL_STRING(EnqueueReply, message_id, "message_id", 0),
    BRINDLE_DECL_I64(EnqueueReply, attempts, "attempts", 0),
    BRINDLE_DECL_I64(EnqueueReply, max_attempts, "max_attempts", 0),
    BRINDLE_DECL_I64(EnqueueReply, failure_attempts, "failure_attempts", 0),
    BRINDLE_DECL_I64(EnqueueReply, not_visible_until_unix, "not_visible_until_unix", 0),
    BRINDLE_DECL_I64(EnqueueReply, visibility_timeout_seconds, "visibility_timeout_seconds", 0),
    BRINDLE_DECL_I64(EnqueueReply, payload_bytes, "payload_bytes", 0),
};

const brindle_map enqueue_reply_map =
    BRINDLE_MAP("sv_engine_enqueue_response_json", EnqueueReply, enqueue_reply_fields);

constexpr const char *kBoundary = SV_ENGINE_MULTIPART_BOUNDARY;

bool is_set(const char *text) {
  return text != nullptr && text[0] != '\0';
}

// Copies up to room bytes of the rest of a fixed piece; returns how many.
size_t copy_piece(const char *piece, size_t length, size_t *position, char *out, size_t room) {
  if (piece == nullptr || *position >= length) return 0;
  const size_t left = length - *position;
  const size_t take = left < room ? left : room;
  std::memcpy(out, piece + *position, take);
  *position += take;
  return take;
}

bool append_all(sv_engine_buffer *buffer, std::initializer_list<const char *> pieces) {
  for (const char *piece : pieces) {
    if (sv_engine_buffer_append_cstr(buffer, piece) != SV_OK) return false;
  }
  return true;
}

// The pieces of one call; they live for the whole call so every attempt can resend them.
struct Pieces {
  sv_engine_buffer prefix{};
  sv_engine_buffer suffix{};
  sv_engine_buffer content_type{};
  Pieces() = default;
  Pieces(const Pieces &) = delete;
  Pieces &operator=(const Pieces &) = delete;
  ~Pieces() {
    sv_engine_buffer_cleanup(&prefix);
    sv_engine_buffer_cleanup(&suffix);
    sv_engine_buffer_cleanup(&content_type);
  }
};

int build_pieces(const sv_engine_client *client, const sv_engine_enqueue_request *request,
                 Pieces &pieces, sv_engine_error *error) {
  const char *payload_type = is_set(request->payload_content_type) ? request->payload_content_type
                                                                   : "application/octet-stream";
  if (std::strpbrk(payload_type, "\r\n") != nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "payload_content_type must not contain line breaks");
  }
  EnqueueMeta meta{};
  meta.namespace_name =
      const_cast<char *>(sv_engine_effective_namespace(client, request->namespace_name));
  meta.queue = const_cast<char *>(request->queue);
  meta.delay_seconds = request->delay_seconds;
  meta.visibility_timeout_seconds = request->visibility_timeout_seconds;
  meta.ttl_seconds = request->ttl_seconds;
  meta.max_attempts = request->max_attempts;
  meta.payload_content_type = const_cast<char *>(payload_type);
  brindle_error meta_error;
  brindle_error_init(&meta_error);
  char *json = brindle_serialize_alloc(&enqueue_meta_map, &meta, nullptr, nullptr, &meta_error);
  if (json == nullptr) {
    return sv_engine_brindle_error_from_status(
        error, meta_error.code != 0 ? meta_error.code : BRINDLE_ALLOCATION_FAILED, &meta_error,
        "failed to build enqueue_from metadata");
  }
  const bool prefix_ok = append_all(
      &pieces.prefix, {"--", kBoundary,
                       "\r\nContent-Type: application/json\r\nContent-Disposition: form-data; "
                       "name=\"meta\"\r\n\r\n",
                       json, "\r\n--", kBoundary,
                       "\r\nContent-Disposition: form-data; name=\"payload\"\r\nContent-Type: ",
                       payload_type, "\r\n\r\n"});
  std::free(json);
  if (!prefix_ok) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                      "failed to build enqueue_from multipart prefix");
  }
  if (!append_all(&pieces.suffix, {"\r\n--", kBoundary, "--\r\n"})) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                      "failed to build enqueue_from multipart suffix");
  }
  if (!append_all(&pieces.content_type, {"multipart/related; boundary=", kBoundary})) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                      "failed to build enqueue_from content type");
  }
  return SV_OK;
}

int copy_count(int64_t value, int32_t *slot, const char *message, sv_engine_error *error) {
  if (value < INT32_MIN || value > INT32_MAX) {
    return sv_engine_set_protocol_error(error, message);
  }
  *slot = static_cast<int32_t>(value);
  return SV_OK;
}

int copy_reply(const EnqueueReply &reply, const sv_engine_stream_state &state,
               sv_engine_enqueue_response *response, sv_engine_error *error) {
  int status =
      copy_count(reply.attempts, &response->attempts, "enqueue attempts is out of range", error);
  if (status == SV_OK) {
    status = copy_count(reply.max_attempts, &response->max_attempts,
                        "enqueue max_attempts is out of range", error);
  }
  if (status == SV_OK) {
    status = copy_count(reply.failure_attempts, &response->failure_attempts,
                        "enqueue failure_attempts is out of range", error);
  }
  if (status != SV_OK) {
    sv_engine_enqueue_response_cleanup(response);
    return status;
  }
  response->not_visible_until_unix = reply.not_visible_until_unix;
  response->visibility_timeout_seconds = reply.visibility_timeout_seconds;
  response->payload_bytes = reply.payload_bytes;
  if (!sv_engine_copy_optional(&response->namespace_name, reply.namespace_name) ||
      !sv_engine_copy_optional(&response->queue, reply.queue) ||
      !sv_engine_copy_optional(&response->message_id, reply.message_id)) {
    sv_engine_enqueue_response_cleanup(response);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to copy enqueue response");
  }
  if (!sv_engine_copy_optional(&response->correlation_id, state.correlation_id)) {
    sv_engine_enqueue_response_cleanup(response);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                      "failed to allocate enqueue_from correlation id");
  }
  return SV_OK;
}

int enqueue(const sv_engine_client *client, const sv_engine_enqueue_request *request,
            sv_engine_reader_fn reader, void *reader_context, sv_engine_reset_fn reset,
            void *reset_context, sv_engine_enqueue_response *response, sv_engine_error *error) {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr ||
      !is_set(request->queue)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "enqueue_from requires client, request, response, error, "
                                      "and queue");
  }
  sv_engine_enqueue_response_cleanup(response);
  StreamCall call;
  Pieces pieces;
  int status = build_pieces(client, request, pieces, &call.error);
  curl_slist *headers = nullptr;
  if (status == SV_OK) {
    headers = sv_engine_build_stream_headers(pieces.content_type.data, "application/json", nullptr,
                                             nullptr, 0);
    if (headers == nullptr) {
      status = sv_engine_set_client_error(&call.error, SV_ERR_NOMEM,
                                          "failed to build enqueue_from headers");
    }
  }
  if (status == SV_OK) {
    sv_engine_multipart_upload upload{};
    upload.prefix = pieces.prefix.data;
    upload.prefix_length = pieces.prefix.length;
    upload.suffix = pieces.suffix.data;
    upload.suffix_length = pieces.suffix.length;
    upload.payload_reader = reader;
    upload.payload_context = reader_context;
    upload.payload_reset = reader != nullptr ? reset : nullptr;
    upload.payload_reset_context = reset_context;
    EnqueueReply reply{};
    status = sv_engine_perform_streaming(
        client, "POST", "/v1/queue/enqueue", headers, sv_engine_multipart_upload_read, &upload,
        sv_engine_multipart_upload_reset, &upload, &enqueue_reply_map, &reply, &call.state);
    if (status == SV_OK) status = copy_reply(reply, call.state, response, &call.error);
    brindle_cleanup(&enqueue_reply_map, &reply);
  }
  return call.finish(status, error);
}

}  // namespace

extern "C" {

SV_API void sv_engine_enqueue_response_cleanup(sv_engine_enqueue_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->namespace_name);
  sv_engine_free_string(&response->queue);
  sv_engine_free_string(&response->message_id);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_enqueue_response{};
}

SV_API size_t sv_engine_multipart_upload_read(void *context, char *buffer, size_t capacity,
                                              sv_engine_error *error) noexcept {
  auto *upload = static_cast<sv_engine_multipart_upload *>(context);
  if (upload == nullptr || buffer == nullptr) {
    sv_engine_set_client_error(error, SV_ERR_INVALID, "multipart upload read requires state");
    return CURL_READFUNC_ABORT;
  }
  size_t placed =
      copy_piece(upload->prefix, upload->prefix_length, &upload->prefix_position, buffer, capacity);
  if (placed < capacity && upload->payload_finished == 0) {
    if (upload->payload_reader == nullptr) {
      upload->payload_finished = 1;
    } else {
      const size_t room = capacity - placed;
      const size_t got =
          upload->payload_reader(upload->payload_context, buffer + placed, room, error);
      if (got == CURL_READFUNC_ABORT || got > room) return CURL_READFUNC_ABORT;
      if (got == 0) {
        // A reader that failed ends the upload as a failure, not as an end of payload.
        if (error != nullptr && error->code != 0) return CURL_READFUNC_ABORT;
        upload->payload_finished = 1;
      } else {
        upload->payload_started = 1;
        return placed + got;
      }
    }
  }
  if (upload->payload_finished != 0 && placed < capacity) {
    placed += copy_piece(upload->suffix, upload->suffix_length, &upload->suffix_position,
                         buffer + placed, capacity - placed);
  }
  return placed;
}

SV_API int sv_engine_multipart_upload_reset(void *context, sv_engine_error *error) noexcept {
  auto *upload = static_cast<sv_engine_multipart_upload *>(context);
  if (upload == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "multipart upload reset requires state");
  }
  upload->prefix_position = 0;
  upload->suffix_position = 0;
  upload->payload_finished = 0;
  if (upload->payload_reset != nullptr) {
    const int status = upload->payload_reset(upload->payload_reset_context, error);
    if (status != SV_OK) return status;
  } else if (upload->payload_started != 0) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "payload source is not rewindable");
  }
  upload->payload_started = 0;
  return SV_OK;
}

SV_API int sv_engine_client_enqueue_from(const sv_engine_client *client,
                                         const sv_engine_enqueue_request *request,
                                         sv_engine_reader_fn reader, void *reader_context,
                                         sv_engine_enqueue_response *response,
                                         sv_engine_error *error) noexcept {
  return enqueue(client, request, reader, reader_context, sv_engine_source_reset_for(reader),
                 reader_context, response, error);
}

SV_API int sv_engine_client_enqueue_from_with_reset(
    const sv_engine_client *client, const sv_engine_enqueue_request *request,
    sv_engine_reader_fn reader, void *reader_context, sv_engine_reset_fn reset, void *reset_context,
    sv_engine_enqueue_response *response, sv_engine_error *error) noexcept {
  return enqueue(client, request, reader, reader_context, reset, reset_context, response, error);
}

}  // extern "C"
