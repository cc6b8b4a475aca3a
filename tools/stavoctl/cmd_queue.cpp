// queue enqueue|dequeue|ack|nack|extend|stats|watch (subscribe is in cmd_subscribe.cpp).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "queue_message.h"

namespace stavoctl {

// ---- Message output (shared with subscribe) ----------------------------------------------------

JsonObject message_json(sv_message &message) {
  JsonObject out;
  out.str("namespace", message.namespace_name)
      .str("queue", message.queue)
      .str("message_id", message.message_id)
      .num("attempts", message.attempts)
      .num("max_attempts", message.max_attempts)
      .num("failure_attempts", message.failure_attempts)
      .num("not_visible_until_unix", message.not_visible_until_unix)
      .num("visibility_timeout_seconds", message.visibility_timeout_seconds)
      .str("payload_content_type", message.payload_content_type)
      .str("lease_id", message.lease_id)
      .num("lease_expires_at_unix", message.lease_expires_at_unix)
      .num("fencing_token", message.fencing_token)
      .str("txn_id", message.txn_id)
      .str("meta_etag", message.meta_etag)
      .str("receipt", encode_receipt(receipt_of(message)))
      .str("correlation_id", message.correlation_id);
  if (sv_lease *state = sv_message_state(&message)) {
    out.raw("state", JsonObject()
                         .str("key", state->key)
                         .str("lease_id", state->lease_id)
                         .num("fencing_token", state->fencing_token)
                         .str("state_etag", state->state_etag)
                         .text());
  }
  return out;
}

void add_payload(JsonObject &out, std::string_view payload) {
  if (is_utf8(payload)) {
    out.str("payload", payload);
  } else {
    out.str("payload_base64", base64(payload));
  }
}

std::string read_payload(Context &ctx, sv_message &message) {
  sv_sink *sink = nullptr;
  ErrorRecord error;
  check(ctx, sv_sink_to_memory(&sink, error.get()), *error);
  std::unique_ptr<sv_sink, void (*)(sv_sink *) noexcept> owner(sink, sv_sink_close);
  check(ctx, sv_message_write_payload(&message, sink, nullptr, error.get()), *error);
  const char *bytes = nullptr;
  size_t length = 0;
  sv_sink_memory_bytes(sink, &bytes, &length);
  return bytes != nullptr ? std::string(bytes, length) : std::string();
}

namespace {

struct MessageCloser {
  void operator()(sv_message *message) const { sv_message_close(message); }
};

int queue_enqueue(Context &ctx, const Args &args) {
  std::optional<std::string> word;
  if (args.positionals.size() > 1) word = args.positionals[1];
  InputSource source(ctx, args, word);
  sv_enqueue_req req;
  sv_enqueue_req_init(&req);
  req.queue = args.positionals[0].c_str();
  req.delay_seconds = args.seconds("delay", 0);
  req.visibility_timeout_seconds = args.seconds("visibility", 0);
  req.ttl_seconds = args.seconds("ttl", 0);
  req.max_attempts = args.i32("max-attempts", 0);
  req.payload_content_type = args.c_str("content-type");
  Owned<sv_enqueue_res, sv_enqueue_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_enqueue(ctx.client(), &req, source.get(), res.get(), error.get()), *error);
  print_json(ctx, JsonObject()
                      .str("namespace", res->namespace_name)
                      .str("queue", res->queue)
                      .str("message_id", res->message_id)
                      .num("attempts", res->attempts)
                      .num("max_attempts", res->max_attempts)
                      .num("failure_attempts", res->failure_attempts)
                      .num("not_visible_until_unix", res->not_visible_until_unix)
                      .num("visibility_timeout_seconds", res->visibility_timeout_seconds)
                      .num("payload_bytes", res->payload_bytes)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int queue_dequeue(Context &ctx, const Args &args) {
  sv_dequeue_req req;
  sv_dequeue_req_init(&req);
  req.queue = args.positionals[0].c_str();
  req.owner = args.c_str("owner") != nullptr ? args.c_str("owner") : "stavoctl";
  req.wait_seconds = args.seconds("wait", 0);
  req.visibility_timeout_seconds = args.seconds("visibility", 0);
  req.page_size = 1;
  ctx.allow_waiting(req.wait_seconds);
  ErrorRecord error;
  sv_message *raw = nullptr;
  int status = args.has("with-state") ? sv_dequeue_with_state(ctx.client(), &req, &raw, error.get())
                                      : sv_dequeue(ctx.client(), &req, &raw, error.get());
  std::unique_ptr<sv_message, MessageCloser> message(raw);
  check(ctx, status, *error);
  if (!message) fail(ctx, kExitNotFound, "no message in queue '" + args.positionals[0] + "'");
  JsonObject out = message_json(*message);
  if (auto path = args.get("output")) {
    OutputSink sink(ctx, *path);
    sink.check(ctx, sv_message_write_payload(message.get(), sink.get(), nullptr, error.get()),
               *error);
  } else {
    add_payload(out, read_payload(ctx, *message));
  }
  if (args.has("ack")) {
    check(ctx, sv_message_ack(message.get(), error.get()), *error);
    message.release();  // a successful ack frees the handle
    out.boolean("acked", true);
  }
  // Printed to stderr when the payload itself went to stdout.
  if (args.get("output").value_or("") == "-") {
    std::fprintf(stderr, "%s\n", out.text().c_str());
  } else {
    print_json(ctx, out);
  }
  return kExitOk;
}

// Reads all of stdin (--from -) or a file.
std::string read_text(const std::string &path) {
  FILE *file = path == "-" ? stdin : std::fopen(path.c_str(), "rbe");
  if (file == nullptr) {
    throw UsageError("cannot read --from '" + path + "': " + std::strerror(errno));
  }
  std::string text;
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    text.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  if (file != stdin) std::fclose(file);
  if (failed) throw UsageError("cannot read --from '" + path + "'");
  return text;
}

// The message reference of ack, nack and extend: a receipt (--receipt TOKEN, or --from the
// dequeue JSON), or the separate options. The strings live in `held`.
template <typename Request>
void fill_reference(const Args &args, Request &req, Receipt &held) {
  const bool by_receipt = args.has("receipt") || args.has("from");
  if (by_receipt) {
    if (args.has("receipt") && args.has("from")) {
      throw UsageError("give either --receipt or --from");
    }
    for (const char *name : {"message-id", "lease-id", "fencing-token", "meta-etag", "txn-id",
                             "state-lease-id", "state-fencing-token", "state-etag"}) {
      if (args.has(name)) throw UsageError(std::string("--") + name + " comes from the receipt");
    }
    held = args.has("receipt") ? decode_receipt(*args.get("receipt"))
                               : receipt_from_json(read_text(*args.get("from")), "--from");
    if (!args.positionals.empty() && args.positionals[0] != held.queue) {
      throw UsageError("the receipt is for queue '" + held.queue + "', not '" +
                       args.positionals[0] + "'");
    }
    const auto or_null = [](const std::string &text) {
      return text.empty() ? nullptr : text.c_str();
    };
    req.namespace_name = or_null(held.namespace_name);
    req.queue = held.queue.c_str();
    req.message_id = held.message_id.c_str();
    req.lease_id = held.lease_id.c_str();
    req.txn_id = or_null(held.txn_id);
    req.fencing_token = held.fencing_token;
    req.meta_etag = or_null(held.meta_etag);
    req.state_etag = or_null(held.state_etag);
    req.state_lease_id = or_null(held.state_lease_id);
    req.state_fencing_token = held.state_fencing_token;
    return;
  }
  if (args.positionals.empty()) throw UsageError("name the queue, or give --receipt or --from");
  require(args, "message-id");
  require(args, "lease-id");
  req.queue = args.positionals[0].c_str();
  req.message_id = args.c_str("message-id");
  req.lease_id = args.c_str("lease-id");
  req.txn_id = args.c_str("txn-id");
  req.fencing_token = args.i64("fencing-token", 0);
  req.meta_etag = args.c_str("meta-etag");
  req.state_etag = args.c_str("state-etag");
  req.state_lease_id = args.c_str("state-lease-id");
  req.state_fencing_token = args.i64("state-fencing-token", 0);
}

// The reference as a receipt again (extend changes the meta ETag).
template <typename Request>
std::string receipt_after(const Request &req, const char *meta_etag) {
  const auto text = [](const char *value) { return std::string(value != nullptr ? value : ""); };
  Receipt r;
  r.namespace_name = text(req.namespace_name);
  r.queue = text(req.queue);
  r.message_id = text(req.message_id);
  r.lease_id = text(req.lease_id);
  r.txn_id = text(req.txn_id);
  r.fencing_token = req.fencing_token;
  r.meta_etag = text(meta_etag);
  r.state_lease_id = text(req.state_lease_id);
  r.state_fencing_token = req.state_fencing_token;
  r.state_etag = text(req.state_etag);
  return encode_receipt(r);
}

int queue_ack(Context &ctx, const Args &args) {
  sv_message_ref req;
  sv_message_ref_init(&req);
  Receipt held;
  fill_reference(args, req, held);
  Owned<sv_ack_res, sv_ack_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_queue_ack(ctx.client(), &req, res.get(), error.get()), *error);
  print_json(ctx, JsonObject()
                      .str("message_id", req.message_id)
                      .boolean("acked", res->acked != 0)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int queue_nack(Context &ctx, const Args &args) {
  sv_nack_op req;
  sv_nack_op_init(&req);
  Receipt held;
  fill_reference(args, req, held);
  if (req.meta_etag == nullptr) require(args, "meta-etag");
  req.delay_seconds = args.seconds("delay", 0);
  std::string intent = args.get("intent").value_or("failure");
  if (intent == "failure") {
    req.intent = SV_NACK_INTENT_FAILURE;
  } else if (intent == "defer") {
    req.intent = SV_NACK_INTENT_DEFER;
  } else {
    throw UsageError("--intent expects failure or defer");
  }
  req.last_error_json = args.c_str("last-error");
  require_json(req.last_error_json, "--last-error");
  Owned<sv_nack_res, sv_nack_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_queue_nack(ctx.client(), &req, res.get(), error.get()), *error);
  print_json(ctx, JsonObject()
                      .str("message_id", req.message_id)
                      .boolean("requeued", res->requeued != 0)
                      .str("meta_etag", res->meta_etag)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int queue_extend(Context &ctx, const Args &args) {
  sv_extend_op req;
  sv_extend_op_init(&req);
  Receipt held;
  fill_reference(args, req, held);
  if (req.meta_etag == nullptr) require(args, "meta-etag");
  req.extend_by_seconds = args.seconds("by", 0);
  Owned<sv_extend_res, sv_extend_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_queue_extend(ctx.client(), &req, res.get(), error.get()), *error);
  print_json(ctx, JsonObject()
                      .str("message_id", req.message_id)
                      .num("lease_expires_at_unix", res->lease_expires_at_unix)
                      .num("visibility_timeout_seconds", res->visibility_timeout_seconds)
                      .str("meta_etag", res->meta_etag)
                      .str("receipt", receipt_after(req, res->meta_etag))
                      .num("state_lease_expires_at_unix", res->state_lease_expires_at_unix)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int queue_stats(Context &ctx, const Args &args) {
  sv_queue_stats_req req;
  sv_queue_stats_req_init(&req);
  req.queue = args.positionals[0].c_str();
  Owned<sv_queue_stats_res, sv_queue_stats_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_queue_stats(ctx.client(), &req, res.get(), error.get()), *error);
  print_json(ctx, JsonObject()
                      .str("namespace", res->namespace_name)
                      .str("queue", res->queue)
                      .num("waiting_consumers", res->waiting_consumers)
                      .num("pending_candidates", res->pending_candidates)
                      .num("total_consumers", res->total_consumers)
                      .boolean("has_active_watcher", res->has_active_watcher != 0)
                      .boolean("available", res->available != 0)
                      .str("head_message_id", res->head_message_id)
                      .num("head_enqueued_at_unix", res->head_enqueued_at_unix)
                      .num("head_not_visible_until_unix", res->head_not_visible_until_unix)
                      .num("head_age_seconds", res->head_age_seconds)
                      .num("messages", res->messages)
                      .num("in_flight", res->in_flight)
                      .num("dead_letters", res->dead_letters)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

struct WatchState {
  int64_t seen = 0;
  int64_t max = 0;  // 0: until interrupted
};

int on_watch_event(void *context, const sv_watch_event *event, sv_error *error) {
  auto *state = static_cast<WatchState *>(context);
  std::string line = JsonObject()
                         .str("namespace", event->namespace_name)
                         .str("queue", event->queue)
                         .boolean("available", event->available != 0)
                         .str("head_message_id", event->head_message_id)
                         .num("changed_at_unix", event->changed_at_unix)
                         .str("correlation_id", event->correlation_id)
                         .text() +
                     "\n";
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0) {
    sv_error_set(error, SV_ERR_TRANSPORT, 0, "cannot write to stdout", std::strerror(errno),
                 nullptr, nullptr);
    return 0;
  }
  ++state->seen;
  return state->max == 0 || state->seen < state->max ? 1 : 0;
}

int queue_watch(Context &ctx, const Args &args) {
  WatchState state;
  state.max = args.i64("max", 0);
  if (state.max < 0) throw UsageError("--max must not be negative");
  sv_watch_queue_req req;
  sv_watch_queue_req_init(&req);
  req.queue = args.positionals[0].c_str();
  sv_watch_handler handler;
  sv_watch_handler_init(&handler);
  handler.handle = on_watch_event;
  handler.context = &state;
  ctx.allow_waiting(-1);
  ErrorRecord error;
  int status = sv_watch_queue(ctx.client(), &req, &handler, error.get());
  if (status != SV_OK && (*error).message != nullptr &&
      std::strcmp((*error).message, "cannot write to stdout") == 0) {
    fail(ctx, kExitLocal, "cannot write to stdout");
  }
  check(ctx, status, *error);
  return kExitOk;
}

}  // namespace

std::vector<Command> queue_commands() {
  const std::vector<OptionSpec> reference = {
      {"receipt", "TOKEN",
       "the \"receipt\" of dequeue's (or extend's) output: the whole reference"},
      {"from", "PATH", "read the receipt from dequeue's JSON output in PATH (- : stdin)"},
      {"message-id", "ID", "the delivered message (required without a receipt)"},
      {"lease-id", "ID", "its delivery lease (required without a receipt)"},
      {"fencing-token", "N", "its fencing token"},
      {"meta-etag", "ETAG", "its meta ETag"},
      {"txn-id", "ID", "its transaction"},
      {"state-lease-id", "ID", "lease on its state (deliveries with state)"},
      {"state-fencing-token", "N", "fencing token of the state lease"},
      {"state-etag", "ETAG", "ETag of its state"},
  };
  std::vector<Command> commands = {
      {"queue",
       "enqueue",
       "QUEUE [VALUE|-]",
       "Enqueue VALUE, --file or stdin as a message.",
       {{"file", "PATH", "read the payload from PATH (- for stdin)"},
        {"content-type", "TYPE", "payload content type (default application/octet-stream)"},
        {"delay", "DURATION", "keep the message invisible this long"},
        {"visibility", "DURATION", "visibility timeout of each delivery"},
        {"ttl", "DURATION", "drop the message after this long"},
        {"max-attempts", "N", "failed deliveries before it is dead-lettered"}},
       1,
       2,
       queue_enqueue},
      {"queue",
       "dequeue",
       "QUEUE",
       "Receive one message; prints it as JSON (exit 2: none).",
       {{"owner", "NAME", "consumer name (default \"stavoctl\")"},
        {"wait", "DURATION", "wait this long for a message (default: do not wait)"},
        {"visibility", "DURATION", "visibility timeout of this delivery"},
        {"with-state", "", "also lease the message's state document"},
        {"ack", "", "acknowledge the message once it was printed"},
        {"output", "PATH", "write the payload to PATH (- : stdout, JSON to stderr)"}},
       1,
       1,
       queue_dequeue,
       "The JSON holds the payload as \"payload\" (UTF-8 text) or \"payload_base64\", and\n"
       "its \"receipt\", all that 'queue ack|nack|extend --receipt' need. Without --ack the "
       "message stays leased until\n"
       "it is settled or its visibility timeout runs out."},
      {"queue", "ack", "[QUEUE]", "Acknowledge a delivered message.", reference, 0, 1, queue_ack},
      {"queue", "nack", "[QUEUE]", "Hand a delivered message back to the queue.",
       with_specs({{"delay", "DURATION", "keep it invisible this long"},
                   {"intent", "failure|defer", "failure counts as an attempt (default)"},
                   {"last-error", "JSON", "JSON document stored as the message's last error"}},
                  reference),
       0, 1, queue_nack},
      {"queue", "extend", "[QUEUE]", "Extend a delivered message's visibility.",
       with_specs({{"by", "DURATION", "extension (default: the visibility timeout)"}}, reference),
       0, 1, queue_extend},
      {"queue", "stats", "QUEUE", "Print the queue's statistics as JSON.", {}, 1, 1, queue_stats},
      {"queue",
       "watch",
       "QUEUE",
       "Print a JSON line per change of the queue's head.",
       {{"max", "N", "stop after N events"}},
       1,
       1,
       queue_watch},
  };
  commands.push_back(subscribe_command());
  return commands;
}

}  // namespace stavoctl
