// lease acquire|keepalive|release|describe and state get|put|mutate|mutate-local|remove.
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>

#include "cli.h"

namespace stavoctl {
namespace {

struct LeaseCloser {
  void operator()(sv_lease *lease) const { sv_lease_close(lease); }
};
using LeasePtr = std::unique_ptr<sv_lease, LeaseCloser>;

// A handle for a lease the caller holds (--lease-id), for the operations only a handle offers.
LeasePtr held_lease(Context &ctx, const Args &args, const std::string &key) {
  LeasePtr lease(sv_lease_new(ctx.client(), nullptr, key.c_str(), nullptr, args.c_str("lease-id"),
                              args.c_str("txn-id"), args.i64("fencing-token", 0), 0, nullptr));
  if (!lease) fail(ctx, kExitLocal, "out of memory");
  return lease;
}

JsonObject lease_view(const sv_lease &lease) {
  JsonObject out;
  out.str("namespace", lease.namespace_name)
      .str("key", lease.key)
      .str("owner", lease.owner)
      .str("lease_id", lease.lease_id)
      .str("txn_id", lease.txn_id)
      .num("fencing_token", lease.fencing_token)
      .num("version", lease.version)
      .str("state_etag", lease.state_etag);
  return out;
}

// --if-etag and --if-version of the writes.
struct Preconditions {
  const char *if_state_etag = nullptr;
  int64_t if_version = 0;
  int32_t has_if_version = 0;
};

Preconditions preconditions(const Args &args) {
  Preconditions out;
  out.if_state_etag = args.c_str("if-etag");
  if (args.has("if-version")) {
    out.if_version = args.i64("if-version", 0);
    out.has_if_version = 1;
  }
  return out;
}

const std::vector<OptionSpec> &precondition_specs() {
  static const std::vector<OptionSpec> table = {
      {"if-etag", "ETAG", "write only while the state has this ETag"},
      {"if-version", "N", "write only while the key has this version"},
  };
  return table;
}

// ---- lease ------------------------------------------------------------------------------------

int lease_acquire(Context &ctx, const Args &args) {
  sv_acquire_req req;
  sv_acquire_req_init(&req);
  req.key = args.positionals[0].c_str();
  req.owner = args.c_str("owner") != nullptr ? args.c_str("owner") : "stavoctl";
  req.ttl_seconds = args.seconds("ttl", 30);
  req.block_seconds = args.seconds("block", 0);
  req.if_not_exists = args.has("if-not-exists") ? 1 : 0;
  req.txn_id = args.c_str("txn-id");
  ctx.allow_waiting(req.block_seconds);
  ErrorRecord error;
  sv_lease *raw = nullptr;
  check(ctx, sv_acquire(ctx.client(), &req, &raw, error.get()), *error);
  LeasePtr lease(raw);  // closing the handle keeps the lease held on the server
  print_json(ctx, lease_view(*lease).num("ttl_seconds", req.ttl_seconds));
  return kExitOk;
}

int lease_keepalive(Context &ctx, const Args &args) {
  require(args, "lease-id");
  sv_keepalive_op req;
  sv_keepalive_op_init(&req);
  req.key = args.positionals[0].c_str();
  req.lease_id = args.c_str("lease-id");
  req.txn_id = args.c_str("txn-id");
  req.fencing_token = args.i64("fencing-token", 0);
  req.ttl_seconds = args.seconds("ttl", 30);
  const bool repeat = args.has("every");
  const int64_t every = repeat ? args.seconds("every", 0) : 0;
  if (repeat && every < 1) throw UsageError("--every must be at least 1s");
  // SIGINT and SIGTERM end the loop between two keepalives: they are taken by sigtimedwait,
  // which is also the pause (blocked before the client starts threads, which inherit it).
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  if (repeat) pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  for (;;) {
    Owned<sv_keepalive_res, sv_keepalive_res_cleanup> res;
    ErrorRecord error;
    check(ctx, sv_keepalive(ctx.client(), &req, res.get(), error.get()), *error);
    print_json(ctx, JsonObject()
                        .str("key", req.key)
                        .str("lease_id", req.lease_id)
                        .num("expires_at_unix", res->expires_at_unix)
                        .num("version", res->version)
                        .str("state_etag", res->state_etag)
                        .str("correlation_id", res->correlation_id));
    if (!repeat) return kExitOk;
    const timespec pause{static_cast<time_t>(every), 0};
    int taken = -1;
    do {
      taken = sigtimedwait(&stop, nullptr, &pause);
    } while (taken < 0 && errno == EINTR);
    if (taken >= 0) return kExitOk;
  }
}

int lease_release(Context &ctx, const Args &args) {
  require(args, "lease-id");
  sv_release_op req;
  sv_release_op_init(&req);
  req.key = args.positionals[0].c_str();
  req.lease_id = args.c_str("lease-id");
  req.txn_id = args.c_str("txn-id");
  req.fencing_token = args.i64("fencing-token", 0);
  req.rollback = args.has("rollback") ? 1 : 0;
  Owned<sv_release_res, sv_release_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_release(ctx.client(), &req, res.get(), error.get()), *error);
  print_json(ctx, JsonObject()
                      .str("key", req.key)
                      .boolean("released", res->released != 0)
                      .boolean("rolled_back", req.rollback != 0)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int lease_describe(Context &ctx, const Args &args) {
  sv_describe_req req;
  sv_describe_req_init(&req);
  req.key = args.positionals[0].c_str();
  Owned<sv_describe_res, sv_describe_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_describe(ctx.client(), &req, res.get(), error.get()), *error);
  JsonObject out;
  out.str("namespace", res->namespace_name)
      .str("key", res->key)
      .str("owner", res->owner)
      .str("lease_id", res->lease_id)
      .num("expires_at_unix", res->expires_at_unix)
      .num("version", res->version)
      .str("state_etag", res->state_etag);
  if (res->has_metadata) out.boolean("query_hidden", res->query_hidden != 0);
  print_json(ctx, out.str("correlation_id", res->correlation_id));
  return kExitOk;
}

// ---- state ------------------------------------------------------------------------------------

int state_get(Context &ctx, const Args &args) {
  const std::string &key = args.positionals[0];
  OutputSink sink(ctx, args.get("output").value_or("-"));
  Owned<sv_get_res, sv_get_res_cleanup> res;
  ErrorRecord error;
  int status;
  if (args.has("lease-id")) {
    LeasePtr lease = held_lease(ctx, args, key);
    status = sv_lease_get(lease.get(), sink.get(), nullptr, res.get(), error.get());
  } else {
    sv_get_opts opts;
    sv_get_opts_init(&opts);
    opts.public_read = 1;
    status = sv_get(ctx.client(), key.c_str(), &opts, sink.get(), res.get(), error.get());
  }
  sink.check(ctx, status, *error);
  if (res->no_content) fail(ctx, kExitNotFound, "key '" + key + "' has no state");
  return kExitOk;
}

int state_put(Context &ctx, const Args &args) {
  const std::string &key = args.positionals[0];
  std::optional<std::string> word;
  if (args.positionals.size() > 1) word = args.positionals[1];
  InputSource source(ctx, args, word);
  WriteLease lease(ctx, args, key);
  Preconditions pre = preconditions(args);
  sv_update_req req;
  sv_update_req_init(&req);
  req.key = key.c_str();
  req.lease_id = lease.lease_id();
  req.txn_id = lease.txn_id();
  req.fencing_token = lease.fencing_token();
  req.if_state_etag = pre.if_state_etag;
  req.if_version = pre.if_version;
  req.has_if_version = pre.has_if_version;
  req.content_type = args.c_str("content-type");
  Owned<sv_update_res, sv_update_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_update(ctx.client(), &req, source.get(), res.get(), error.get()), *error);
  lease.commit();
  print_json(ctx, JsonObject()
                      .str("key", key)
                      .num("version", res->new_version)
                      .str("state_etag", res->new_state_etag)
                      .num("bytes", res->bytes)
                      .boolean("committed", !args.has("lease-id"))
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int state_mutate(Context &ctx, const Args &args) {
  const std::string &key = args.positionals[0];
  std::vector<const char *> mutations;
  for (size_t index = 1; index < args.positionals.size(); ++index) {
    mutations.push_back(args.positionals[index].c_str());
  }
  WriteLease lease(ctx, args, key);
  Preconditions pre = preconditions(args);
  sv_mutate_op req;
  sv_mutate_op_init(&req);
  req.key = key.c_str();
  req.lease_id = lease.lease_id();
  req.txn_id = lease.txn_id();
  req.fencing_token = lease.fencing_token();
  req.if_state_etag = pre.if_state_etag;
  req.if_version = pre.if_version;
  req.has_if_version = pre.has_if_version;
  req.mutations = mutations.data();
  req.mutation_count = mutations.size();
  Owned<sv_mutate_res, sv_mutate_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_mutate(ctx.client(), &req, res.get(), error.get()), *error);
  lease.commit();
  print_json(ctx, JsonObject()
                      .str("key", key)
                      .num("version", res->new_version)
                      .str("state_etag", res->new_state_etag)
                      .num("bytes", res->bytes)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int state_mutate_local(Context &ctx, const Args &args) {
  const std::string &key = args.positionals[0];
  std::vector<const char *> mutations;
  for (size_t index = 1; index < args.positionals.size(); ++index) {
    mutations.push_back(args.positionals[index].c_str());
  }
  // The local mutate works on a handle: the caller's lease or one acquired here.
  sv_lease *acquired = nullptr;
  LeasePtr held;
  if (args.has("lease-id")) {
    held = held_lease(ctx, args, key);
  } else {
    if (args.has("fencing-token")) throw UsageError("--fencing-token needs --lease-id");
    sv_acquire_req acquire;
    sv_acquire_req_init(&acquire);
    acquire.key = key.c_str();
    acquire.owner = args.c_str("owner") != nullptr ? args.c_str("owner") : "stavoctl";
    acquire.ttl_seconds = args.seconds("ttl", 30);
    acquire.txn_id = args.c_str("txn-id");
    ErrorRecord error;
    check(ctx, sv_acquire(ctx.client(), &acquire, &acquired, error.get()), *error);
  }
  sv_lease *lease = held ? held.get() : acquired;
  std::string base_dir = args.get("base-dir").value_or(".");
  Preconditions pre = preconditions(args);
  sv_mutate_local_req req;
  sv_mutate_local_req_init(&req);
  req.mutations = mutations.data();
  req.mutation_count = mutations.size();
  req.skip_preconditions = args.has("skip-preconditions") ? 1 : 0;
  req.file_value_base_dir = base_dir.c_str();
  req.update_options.if_state_etag = pre.if_state_etag;
  req.update_options.if_version = pre.if_version;
  req.update_options.has_if_version = pre.has_if_version;
  ErrorRecord error;
  int status = sv_lease_mutate_local(lease, &req, error.get());
  std::string view = lease_view(*lease).text();
  if (acquired != nullptr) {
    sv_release_req release;
    sv_release_req_init(&release);
    release.rollback = status == SV_OK ? 0 : 1;
    ErrorRecord release_error;
    int released = sv_lease_release(acquired, &release, release_error.get());
    if (released != SV_OK) sv_lease_close(acquired);
    if (status == SV_OK) check(ctx, released, *release_error);
  }
  check(ctx, status, *error);
  print_line(ctx, view);
  return kExitOk;
}

int state_remove(Context &ctx, const Args &args) {
  const std::string &key = args.positionals[0];
  WriteLease lease(ctx, args, key);
  Preconditions pre = preconditions(args);
  sv_remove_op req;
  sv_remove_op_init(&req);
  req.key = key.c_str();
  req.lease_id = lease.lease_id();
  req.txn_id = lease.txn_id();
  req.fencing_token = lease.fencing_token();
  req.if_state_etag = pre.if_state_etag;
  req.if_version = pre.if_version;
  req.has_if_version = pre.has_if_version;
  Owned<sv_remove_res, sv_remove_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_remove(ctx.client(), &req, res.get(), error.get()), *error);
  lease.commit();
  print_json(ctx, JsonObject()
                      .str("key", key)
                      .boolean("removed", res->removed != 0)
                      .num("version", res->new_version)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

const char *const kWriteDetails =
    "Without --lease-id the command acquires the key's lease, writes and releases it, which\n"
    "commits the write (a failed write is rolled back). With --lease-id the write is staged\n"
    "under that lease and committed when its holder releases it.";

}  // namespace

std::vector<Command> lease_commands() {
  const std::vector<OptionSpec> held = {
      {"lease-id", "ID", "the lease (required)"},
      {"fencing-token", "N", "the lease's fencing token"},
      {"txn-id", "ID", "the lease's transaction"},
  };
  return {
      {"lease",
       "acquire",
       "KEY",
       "Acquire a lease; prints the lease as JSON (it stays held).",
       {{"owner", "NAME", "lease owner (default \"stavoctl\")"},
        {"ttl", "DURATION", "lease lifetime (default 30s)"},
        {"block", "DURATION", "wait this long for a held lease (default: fail at once)"},
        {"if-not-exists", "", "only acquire a key that has no state yet"},
        {"txn-id", "ID", "join this transaction"}},
       1,
       1,
       lease_acquire},
      {"lease", "keepalive", "KEY", "Extend a held lease.",
       with_specs({{"ttl", "DURATION", "new lifetime from now (default 30s)"},
                   {"every", "DURATION",
                    "keep it alive again after each DURATION until SIGINT or SIGTERM (one JSON "
                    "line each time)"}},
                  held),
       1, 1, lease_keepalive},
      {"lease", "release", "KEY", "Release a lease, committing its staged writes.",
       with_specs({{"rollback", "", "discard the staged writes instead"}}, held), 1, 1,
       lease_release},
      {"lease",
       "describe",
       "KEY",
       "Describe a key: owner, lease, version, ETag, metadata.",
       {},
       1,
       1,
       lease_describe},
      {"state",
       "get",
       "KEY",
       "Print the key's state document raw (exit 2 when it has none).",
       {{"output", "PATH", "write the document to PATH instead of stdout"},
        {"lease-id", "ID", "read under this lease (staged writes included)"},
        {"fencing-token", "N", "fencing token of --lease-id"},
        {"txn-id", "ID", "transaction of --lease-id"}},
       1,
       1,
       state_get,
       "Without --lease-id the committed state is read without a lease."},
      {"state", "put", "KEY [VALUE|-]", "Replace the key's state with VALUE, --file or stdin.",
       with_specs(with_specs({{"file", "PATH", "read the value from PATH (- for stdin)"},
                              {"content-type", "TYPE", "default application/json"}},
                             precondition_specs()),
                  lease_identity_specs()),
       1, 2, state_put, kWriteDetails},
      {"state", "mutate", "KEY EXPR...", "Apply mutation expressions on the server.",
       with_specs(precondition_specs(), lease_identity_specs()), 2, SIZE_MAX, state_mutate,
       kWriteDetails},
      {"state", "mutate-local", "KEY EXPR...",
       "Read the state, apply mutation expressions here and upload the result.",
       with_specs(with_specs({{"skip-preconditions", "", "do not require the read ETag/version"},
                              {"base-dir", "DIR", "base of relative file: paths (default .)"}},
                             precondition_specs()),
                  lease_identity_specs()),
       2, SIZE_MAX, state_mutate_local,
       "Expressions: /p=value, /p++, /p--, rm:/p, time:/p=now, file:/p=path, /p/{a=1,b=2}.\n"
       "Without --lease-id a lease is acquired and released around the change."},
      {"state", "remove", "KEY", "Remove the key's state.",
       with_specs(precondition_specs(), lease_identity_specs()), 1, 1, state_remove, kWriteDetails},
  };
}

}  // namespace stavoctl
