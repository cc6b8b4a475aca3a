// The operations the hostile-server tests run: every public lease call that reads an answer and
// the engine's queue stream, watch and query keys calls.
#include "hostile_support.h"

namespace hostile_test {

int drop_payload(void *, const char *, size_t, sv_engine_error *) {
  return 1;
}
int drop_event(void *, const sv_engine_queue_watch_event *, sv_engine_error *) {
  return 1;
}
int drop_key(void *, const char *, size_t, sv_engine_error *) {
  return 1;
}

namespace {

using api_test::Error;

const std::vector<HostileMode> kRawBodyModes = {
    HostileMode::endless_meta_part, HostileMode::endless_sse_line, HostileMode::payload_too_short,
    HostileMode::payload_too_long};

Outcome acquire(Env &env, sv_lease *) {
  Error error;
  sv_acquire_req req = lease_test::acquire_request("hostile-acquire");
  sv_lease *lease = nullptr;
  const int status = sv_acquire(env.client, &req, &lease, error.get());
  sv_lease_close(lease);
  return from(status, error);
}

Outcome get(Env &, sv_lease *lease) {
  Error error;
  auto sink = null_sink();
  sv_get_res got{};
  const int status = sv_lease_get(lease, sink.get(), nullptr, &got, error.get());
  sv_get_res_cleanup(&got);
  return from(status, error);
}

Outcome load(Env &, sv_lease *lease) {
  Error error;
  lease_test::OrderRecord order;
  sv_get_res got{};
  const int status = sv_lease_load(lease, &lease_test::order_map, &order.record, nullptr, nullptr,
                                   &got, error.get());
  sv_get_res_cleanup(&got);
  return from(status, error);
}

Outcome update(Env &, sv_lease *lease) {
  Error error;
  auto source = lease_test::memory_source(R"({"id":1})");
  const int status = sv_lease_update(lease, source.get(), nullptr, error.get());
  return from(status, error);
}

Outcome attach(Env &, sv_lease *lease) {
  Error error;
  sv_attach_req req{};
  req.name = "a.bin";
  auto source = lease_test::memory_source("attachment bytes");
  sv_attach_res res{};
  const int status = sv_lease_attach(lease, &req, source.get(), &res, error.get());
  sv_attach_res_cleanup(&res);
  return from(status, error);
}

Outcome list_attachments(Env &, sv_lease *lease) {
  Error error;
  sv_attachment_list list{};
  const int status = sv_lease_list_attachments(lease, &list, error.get());
  sv_attachment_list_cleanup(&list);
  return from(status, error);
}

Outcome get_attachment(Env &, sv_lease *lease) {
  Error error;
  sv_attachment_get_req req{};
  req.name = "a.bin";
  auto sink = null_sink();
  sv_attachment_get_res res{};
  const int status = sv_lease_get_attachment(lease, &req, sink.get(), &res, error.get());
  sv_attachment_get_res_cleanup(&res);
  return from(status, error);
}

sv_engine_dequeue_request dequeue_request() {
  sv_engine_dequeue_request request{};
  request.queue = "hostile";
  request.owner = "hostile-test";
  request.visibility_timeout_seconds = 30;
  request.wait_seconds = 0;
  request.page_size = 1;
  return request;
}

Outcome dequeue(Env &env, sv_lease *) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  const sv_engine_message_handler handler = {nullptr, drop_payload, nullptr};
  const sv_engine_dequeue_request request = dequeue_request();
  const int status = sv_engine_client_dequeue_into(env.engine, &request, &handler, nullptr, &error);
  return from_engine(status, error);
}

Outcome subscribe(Env &env, sv_lease *) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  const sv_engine_message_handler handler = {nullptr, drop_payload, nullptr};
  const sv_engine_dequeue_request request = dequeue_request();
  const int status = sv_engine_client_subscribe(env.engine, &request, &handler, nullptr, &error);
  return from_engine(status, error);
}

Outcome watch(Env &env, sv_lease *) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  sv_engine_watch_queue_request request{nullptr, "hostile"};
  const int status =
      sv_engine_client_watch_queue(env.engine, &request, drop_event, nullptr, &error);
  return from_engine(status, error);
}

Outcome query_keys(Env &env, sv_lease *) {
  sv_engine_error error;
  sv_engine_error_init(&error);
  sv_engine_query_request request{};
  request.selector_json = "{}";
  const sv_engine_query_key_handler handler = {nullptr, drop_key, nullptr};
  sv_engine_query_stream_response response{};
  const int status =
      sv_engine_client_query_keys(env.engine, &request, &handler, nullptr, &response, &error);
  sv_engine_query_stream_response_cleanup(env.engine, &response);
  return from_engine(status, error);
}

}  // namespace

std::vector<Operation> operations() {
  return {
      {"acquire", false, acquire, {}},
      {"get", true, get, kRawBodyModes},
      {"load", true, load, {}},
      {"update", true, update, {}},
      {"attach", true, attach, {}},
      {"list_attachments", true, list_attachments, {}},
      {"get_attachment", true, get_attachment, kRawBodyModes},
      {"dequeue", false, dequeue, {}},
      {"subscribe", false, subscribe, {}},
      {"watch", false, watch, {}},
      {"query_keys", false, query_keys, {}},
  };
}

}  // namespace hostile_test
