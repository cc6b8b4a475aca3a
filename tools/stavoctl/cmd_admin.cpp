// query, ns get|set, index flush, txn replay|prepare|commit|rollback and the transaction
// coordinator (tc ...).
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace stavoctl {
namespace {

// ---- query -------------------------------------------------------------------------------------

struct KeyPrinter {
  std::string key;
  bool write_failed = false;
};

int key_begin(void *context, sv_error *) {
  static_cast<KeyPrinter *>(context)->key.clear();
  return 1;
}

int key_chunk(void *context, const char *bytes, size_t length, sv_error *) {
  static_cast<KeyPrinter *>(context)->key.append(bytes, length);
  return 1;
}

int key_end(void *context, sv_error *error) {
  auto *printer = static_cast<KeyPrinter *>(context);
  printer->key += '\n';
  if (std::fwrite(printer->key.data(), 1, printer->key.size(), stdout) != printer->key.size()) {
    printer->write_failed = true;
    sv_error_set(error, SV_ERR_TRANSPORT, 0, "cannot write to stdout", std::strerror(errno),
                 nullptr, nullptr);
    return 0;
  }
  return 1;
}

int query(Context &ctx, const Args &args) {
  sv_query_req req;
  sv_query_req_init(&req);
  req.selector_json = args.positionals[0].c_str();
  req.limit = args.i64("limit", 0);
  req.fields_json = args.c_str("fields");
  req.engine = args.c_str("engine");
  req.refresh = args.c_str("refresh");
  require_json(req.selector_json, "the selector");
  require_json(req.fields_json, "--fields");
  bool keys = args.has("keys");
  bool all_pages = args.has("all");
  std::string cursor = args.get("cursor").value_or("");
  OutputSink sink(ctx, "-");
  KeyPrinter printer;
  sv_query_key_handler handler;
  sv_query_key_handler_init(&handler);
  handler.begin = key_begin;
  handler.chunk = key_chunk;
  handler.end = key_end;
  for (;;) {
    req.cursor = cursor.empty() ? nullptr : cursor.c_str();
    Owned<sv_query_res, sv_query_res_cleanup> page;
    ErrorRecord error;
    int status =
        keys ? sv_query_keys(ctx.client(), &req, &handler, &printer, page.get(), error.get())
             : sv_query(ctx.client(), &req, sink.get(), page.get(), error.get());
    if (keys) std::fflush(stdout);
    if (status != SV_OK && printer.write_failed) fail(ctx, kExitLocal, "cannot write to stdout");
    sink.check(ctx, status, *error);
    cursor = page->cursor != nullptr ? page->cursor : "";
    if (cursor.empty()) break;
    if (!all_pages) {
      std::fprintf(stderr, "stavoctl: query: more results: --cursor %s\n", cursor.c_str());
      break;
    }
  }
  return kExitOk;
}

// ---- ns and index ------------------------------------------------------------------------------

int print_namespace(Context &ctx, bool update, const Args &args) {
  sv_namespace_config_req req;
  sv_namespace_config_req_init(&req);
  req.namespace_name =
      args.positionals.empty() ? ctx.namespace_or_default() : args.positionals[0].c_str();
  if (update) {
    req.preferred_engine = args.c_str("preferred");
    req.fallback_engine = args.c_str("fallback");
    if (req.preferred_engine == nullptr && req.fallback_engine == nullptr) {
      throw UsageError("ns set needs --preferred and/or --fallback");
    }
  }
  Owned<sv_namespace_config_res, sv_namespace_config_res_cleanup> res;
  ErrorRecord error;
  int status = update ? sv_update_namespace_config(ctx.client(), &req, res.get(), error.get())
                      : sv_get_namespace_config(ctx.client(), &req, res.get(), error.get());
  check(ctx, status, *error);
  print_json(ctx, JsonObject()
                      .str("namespace", res->namespace_name)
                      .str("preferred_engine", res->preferred_engine)
                      .str("fallback_engine", res->fallback_engine)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int ns_get(Context &ctx, const Args &args) {
  return print_namespace(ctx, false, args);
}
int ns_set(Context &ctx, const Args &args) {
  return print_namespace(ctx, true, args);
}

int index_flush(Context &ctx, const Args &args) {
  sv_index_flush_req req;
  sv_index_flush_req_init(&req);
  req.mode = args.c_str("mode");
  Owned<sv_index_flush_res, sv_index_flush_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_flush_index(ctx.client(), &req, res.get(), error.get()), *error);
  print_json(ctx, JsonObject()
                      .str("namespace", res->namespace_name)
                      .str("mode", res->mode)
                      .str("flush_id", res->flush_id)
                      .boolean("accepted", res->accepted != 0)
                      .boolean("flushed", res->flushed != 0)
                      .boolean("pending", res->pending != 0)
                      .num("index_seq", res->index_seq)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

// ---- txn ---------------------------------------------------------------------------------------

int txn_replay(Context &ctx, const Args &args) {
  sv_txn_replay_req req;
  sv_txn_replay_req_init(&req);
  req.txn_id = args.positionals[0].c_str();
  Owned<sv_txn_replay_res, sv_txn_replay_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_txn_replay(ctx.client(), &req, res.get(), error.get()), *error);
  std::string participants = "[";
  for (size_t i = 0; i < res->participant_count; ++i) {
    const sv_txn_replay_participant &p = res->participants[i];
    if (i > 0) participants += ",";
    participants += JsonObject()
                        .str("namespace", p.namespace_name)
                        .str("key", p.key)
                        .str("backend_hash", p.backend_hash)
                        .text();
  }
  participants += "]";
  print_json(ctx, JsonObject()
                      .str("txn_id", res->txn_id)
                      .str("state", res->state)
                      .raw("participants", participants)
                      .num("expires_at_unix", res->expires_at_unix)
                      .num("tc_term", res->tc_term)
                      .str("target_backend_hash", res->target_backend_hash)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

using DecideFn = int (*)(sv_client *, const sv_txn_decision_req *, sv_txn_decision_res *,
                         sv_error *) noexcept;

int txn_decide(Context &ctx, const Args &args, DecideFn decide) {
  // --participant [NAMESPACE/]KEY[@BACKEND_HASH]
  std::vector<std::string> participant_args = args.all("participant");
  std::vector<std::string> parts(participant_args.size() * 3);
  std::vector<sv_txn_participant> participants(participant_args.size());
  for (size_t index = 0; index < participant_args.size(); ++index) {
    std::string participant = participant_args[index];
    std::string &ns = parts[index * 3], &key = parts[index * 3 + 1], &hash = parts[index * 3 + 2];
    if (size_t at = participant.rfind('@'); at != std::string::npos) {
      hash = participant.substr(at + 1);
      participant.resize(at);
    }
    if (size_t slash = participant.find('/'); slash != std::string::npos) {
      ns = participant.substr(0, slash);
      key = participant.substr(slash + 1);
    } else {
      ns = ctx.namespace_or_default();
      key = participant;
    }
    if (key.empty()) throw UsageError("--participant expects [NAMESPACE/]KEY[@BACKEND_HASH]");
    sv_txn_participant_init(&participants[index]);
    participants[index].namespace_name = ns.c_str();
    participants[index].key = key.c_str();
    participants[index].backend_hash = hash.empty() ? nullptr : hash.c_str();
  }
  sv_txn_decision_req req;
  sv_txn_decision_req_init(&req);
  req.txn_id = args.positionals[0].c_str();
  req.participants = participants.empty() ? nullptr : participants.data();
  req.participant_count = participants.size();
  req.expires_at_unix = args.i64("expires-at", 0);
  req.tc_term = args.i64("tc-term", 0);
  req.target_backend_hash = args.c_str("target-backend");
  Owned<sv_txn_decision_res, sv_txn_decision_res_cleanup> res;
  ErrorRecord error;
  check(ctx, decide(ctx.client(), &req, res.get(), error.get()), *error);
  JsonObject out;
  out.str("txn_id", res->txn_id).str("state", res->state);
  if (res->has_key_count != 0) out.num("keys", res->key_count);
  print_json(ctx, out.str("correlation_id", res->correlation_id));
  return kExitOk;
}

int txn_prepare(Context &ctx, const Args &args) {
  return txn_decide(ctx, args, sv_txn_prepare);
}
int txn_commit(Context &ctx, const Args &args) {
  return txn_decide(ctx, args, sv_txn_commit);
}
int txn_rollback(Context &ctx, const Args &args) {
  return txn_decide(ctx, args, sv_txn_rollback);
}

// ---- tc ----------------------------------------------------------------------------------------

template <typename Result>
JsonObject leader_json(const Result &res) {
  JsonObject out;
  out.str("leader_id", res.leader_id)
      .str("leader_endpoint", res.leader_endpoint)
      .num("term", res.term)
      .num("expires_at_ms", res.expires_at);
  return out;
}

int tc_leader(Context &ctx, const Args &) {
  Owned<sv_tc_leader_res, sv_tc_leader_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_tc_leader(ctx.client(), res.get(), error.get()), *error);
  print_json(ctx, leader_json(res.value).str("correlation_id", res->correlation_id));
  return kExitOk;
}

int tc_lease_acquire(Context &ctx, const Args &args) {
  require(args, "candidate-id");
  sv_tc_lease_acquire_req req;
  sv_tc_lease_acquire_req_init(&req);
  req.candidate_id = args.c_str("candidate-id");
  req.candidate_endpoint = args.c_str("candidate-endpoint");
  req.term = args.i64("term", 0);
  req.ttl_ms = args.i64("ttl-ms", 0);
  Owned<sv_tc_lease_acquire_res, sv_tc_lease_acquire_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_tc_lease_acquire(ctx.client(), &req, res.get(), error.get()), *error);
  print_json(ctx, leader_json(res.value)
                      .boolean("granted", res->granted != 0)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int tc_lease_renew(Context &ctx, const Args &args) {
  require(args, "leader-id");
  sv_tc_lease_renew_req req;
  sv_tc_lease_renew_req_init(&req);
  req.leader_id = args.c_str("leader-id");
  req.term = args.i64("term", 0);
  req.ttl_ms = args.i64("ttl-ms", 0);
  Owned<sv_tc_lease_renew_res, sv_tc_lease_renew_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_tc_lease_renew(ctx.client(), &req, res.get(), error.get()), *error);
  print_json(ctx, leader_json(res.value)
                      .boolean("granted", res->granted != 0)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int tc_lease_release(Context &ctx, const Args &args) {
  require(args, "leader-id");
  sv_tc_lease_release_req req;
  sv_tc_lease_release_req_init(&req);
  req.leader_id = args.c_str("leader-id");
  req.term = args.i64("term", 0);
  Owned<sv_tc_lease_release_res, sv_tc_lease_release_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_tc_lease_release(ctx.client(), &req, res.get(), error.get()), *error);
  print_json(ctx, JsonObject()
                      .boolean("released", res->released != 0)
                      .num("term", res->term)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

void print_cluster(Context &ctx, const sv_tc_cluster_res &res, bool leave = false) {
  JsonObject out;
  out.raw("endpoints", json_string_array(res.endpoints))
      .num("updated_at_unix", res.updated_at_unix)
      .num("expires_at_unix", res.expires_at_unix);
  if (leave) out.boolean("left", res.left != 0);
  print_json(ctx, out.str("correlation_id", res.correlation_id));
}

int tc_cluster_announce(Context &ctx, const Args &args) {
  sv_tc_cluster_announce_req req;
  sv_tc_cluster_announce_req_init(&req);
  req.self_endpoint = args.positionals[0].c_str();
  Owned<sv_tc_cluster_res, sv_tc_cluster_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_tc_cluster_announce(ctx.client(), &req, res.get(), error.get()), *error);
  print_cluster(ctx, res.value);
  return kExitOk;
}

// With SELF_ENDPOINT that member leaves; without, the node the request reaches.
int tc_cluster_leave(Context &ctx, const Args &args) {
  Owned<sv_tc_cluster_res, sv_tc_cluster_res_cleanup> res;
  ErrorRecord error;
  if (args.positionals.empty()) {
    check(ctx, sv_tc_cluster_leave(ctx.client(), res.get(), error.get()), *error);
  } else {
    sv_tc_cluster_leave_req req;
    sv_tc_cluster_leave_req_init(&req);
    req.self_endpoint = args.positionals[0].c_str();
    check(ctx, sv_tc_cluster_leave_member(ctx.client(), &req, res.get(), error.get()), *error);
  }
  print_cluster(ctx, res.value, true);
  return kExitOk;
}

int tc_cluster_list(Context &ctx, const Args &) {
  Owned<sv_tc_cluster_res, sv_tc_cluster_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_tc_cluster_list(ctx.client(), res.get(), error.get()), *error);
  print_cluster(ctx, res.value);
  return kExitOk;
}

int tc_rm_change(Context &ctx, const Args &args, bool register_it) {
  Owned<sv_tc_rm_res, sv_tc_rm_res_cleanup> res;
  ErrorRecord error;
  int status;
  if (register_it) {
    sv_tc_rm_register_req req;
    sv_tc_rm_register_req_init(&req);
    req.backend_hash = args.positionals[0].c_str();
    req.endpoint = args.positionals[1].c_str();
    status = sv_tc_rm_register(ctx.client(), &req, res.get(), error.get());
  } else {
    sv_tc_rm_unregister_req req;
    sv_tc_rm_unregister_req_init(&req);
    req.backend_hash = args.positionals[0].c_str();
    req.endpoint = args.positionals[1].c_str();
    status = sv_tc_rm_unregister(ctx.client(), &req, res.get(), error.get());
  }
  check(ctx, status, *error);
  print_json(ctx, JsonObject()
                      .str("backend_hash", res->backend_hash)
                      .raw("endpoints", json_string_array(res->endpoints))
                      .num("updated_at_unix", res->updated_at_unix)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int tc_rm_register(Context &ctx, const Args &args) {
  return tc_rm_change(ctx, args, true);
}
int tc_rm_unregister(Context &ctx, const Args &args) {
  return tc_rm_change(ctx, args, false);
}

int tc_rm_list(Context &ctx, const Args &) {
  Owned<sv_tc_rm_list_res, sv_tc_rm_list_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_tc_rm_list(ctx.client(), res.get(), error.get()), *error);
  std::string backends = "[";
  for (size_t index = 0; index < res->backend_count; ++index) {
    const sv_tc_rm_backend &backend = res->backends[index];
    if (index > 0) backends += ",";
    backends += JsonObject()
                    .str("backend_hash", backend.backend_hash)
                    .raw("endpoints", json_string_array(backend.endpoints))
                    .num("updated_at_unix", backend.updated_at_unix)
                    .text();
  }
  print_json(ctx, JsonObject()
                      .raw("backends", backends + "]")
                      .num("updated_at_unix", res->updated_at_unix)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

}  // namespace

std::vector<Command> admin_commands() {
  const std::vector<OptionSpec> decision = {
      {"participant", "[NS/]KEY[@HASH]", "a key taking part (repeatable)"},
      {"expires-at", "UNIX", "a prepared decision rolls back after this time"},
      {"tc-term", "N", "the deciding coordinator's term"},
      {"target-backend", "HASH", "the backend the decision is for"},
  };
  return {
      {"query",
       "",
       "SELECTOR_JSON",
       "Print matching documents as NDJSON (or keys, one a line).",
       {{"keys", "", "print the matching keys instead of the documents"},
        {"limit", "N", "at most N results per page"},
        {"cursor", "CURSOR", "continue after a previous page"},
        {"all", "", "follow the cursor through every page"},
        {"fields", "JSON", "JSON array of JSON pointers to project the documents to"},
        {"engine", "index|scan", "query engine to use"},
        {"refresh", "true|false|wait_for", "how fresh the index must be"}},
       1,
       1,
       query,
       "Without --all, a next page is announced on stderr as \"more results: --cursor C\"."},
      {"ns",
       "get",
       "[NAMESPACE]",
       "Print a namespace's query engine configuration.",
       {},
       0,
       1,
       ns_get},
      {"ns",
       "set",
       "[NAMESPACE]",
       "Change a namespace's query engines.",
       {{"preferred", "index|scan", "preferred query engine"},
        {"fallback", "index|scan", "fallback query engine"}},
       0,
       1,
       ns_set},
      {"index",
       "flush",
       "",
       "Flush the namespace's query index.",
       {{"mode", "sync|async", "wait for the flush (sync) or not (async)"}},
       0,
       0,
       index_flush},
      {"txn",
       "replay",
       "TXN_ID",
       "Print the recorded decision of a transaction.",
       {},
       1,
       1,
       txn_replay},
      {"txn", "prepare", "TXN_ID", "Record a prepare decision.", decision, 1, 1, txn_prepare},
      {"txn", "commit", "TXN_ID", "Commit a transaction.", decision, 1, 1, txn_commit},
      {"txn", "rollback", "TXN_ID", "Roll a transaction back.", decision, 1, 1, txn_rollback},
      {"tc", "leader", "", "Print the current coordinator leader.", {}, 0, 0, tc_leader},
      {"tc",
       "lease-acquire",
       "",
       "Try to become coordinator leader.",
       {{"candidate-id", "ID", "this candidate (required)"},
        {"candidate-endpoint", "URL", "where this candidate is reached"},
        {"term", "N", "the term asked for"},
        {"ttl-ms", "N", "lease lifetime in milliseconds"}},
       0,
       0,
       tc_lease_acquire},
      {"tc",
       "lease-renew",
       "",
       "Renew the coordinator leader lease.",
       {{"leader-id", "ID", "the leader (required)"},
        {"term", "N", "its term"},
        {"ttl-ms", "N", "new lifetime in milliseconds"}},
       0,
       0,
       tc_lease_renew},
      {"tc",
       "lease-release",
       "",
       "Give up the coordinator leader lease.",
       {{"leader-id", "ID", "the leader (required)"}, {"term", "N", "its term"}},
       0,
       0,
       tc_lease_release},
      {"tc",
       "cluster-announce",
       "SELF_ENDPOINT",
       "Announce this node to the coordinator cluster.",
       {},
       1,
       1,
       tc_cluster_announce},
      {"tc",
       "cluster-leave",
       "[SELF_ENDPOINT]",
       "Leave the coordinator cluster: the member SELF_ENDPOINT, or the node reached.",
       {},
       0,
       1,
       tc_cluster_leave},
      {"tc",
       "cluster-list",
       "",
       "List the coordinator cluster's members.",
       {},
       0,
       0,
       tc_cluster_list},
      {"tc",
       "rm-register",
       "BACKEND_HASH ENDPOINT",
       "Register a resource manager.",
       {},
       2,
       2,
       tc_rm_register},
      {"tc",
       "rm-unregister",
       "BACKEND_HASH ENDPOINT",
       "Unregister a resource manager.",
       {},
       2,
       2,
       tc_rm_unregister},
      {"tc", "rm-list", "", "List the registered resource managers.", {}, 0, 0, tc_rm_list},
  };
}

}  // namespace stavoctl
