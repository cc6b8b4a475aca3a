// query_into: the body of a 2xx query answer goes to the caller's writer as it arrives, untouched
// (newline-delimited JSON documents, or whatever the server chose to send).
#include "query_internal.h"

namespace {

class WriterConsumer final : public QueryBodyConsumer {
 public:
  WriterConsumer(sv_engine_writer_fn writer, void *context) : writer_(writer), context_(context) {}

  int start_attempt(sv_engine_error *) noexcept override { return SV_OK; }

  bool consume(const char *bytes, size_t length, sv_engine_error *error) noexcept override {
    if (writer_(context_, bytes, length, error) != 0) return true;
    if (error->code == 0) {
      sv_engine_set_transport_error(error, "query writer callback failed");
    }
    return false;
  }

  int finish(const sv_engine_client *, sv_engine_query_stream_response *,
             sv_engine_error *) noexcept override {
    return SV_OK;
  }

  void end_attempt() noexcept override {}

 private:
  sv_engine_writer_fn writer_;
  void *context_;
};

}  // namespace

extern "C" {

SV_API int sv_engine_client_query_into(const sv_engine_client *client,
                                       const sv_engine_query_request *request,
                                       sv_engine_writer_fn writer, void *writer_context,
                                       sv_engine_query_stream_response *response,
                                       sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || writer == nullptr || response == nullptr ||
      error == nullptr) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "query_into requires client, request, writer, response, and error");
  }
  sv_engine_error_reset(error);
  sv_engine_query_stream_response_cleanup(client, response);
  if (request->selector_json == nullptr || request->selector_json[0] == '\0') {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "query_into requires selector_json");
  }
  sv_engine_query_body body;
  int status = sv_engine_query_body_prepare(client, request, false, &body, error);
  if (status != SV_OK) return status;
  WriterConsumer consumer(writer, writer_context);
  status = sv_engine_query_stream_run(client, request, &body, consumer, response, error);
  sv_engine_query_body_cleanup(&body);
  return status;
}

}  // extern "C"
