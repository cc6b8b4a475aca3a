// The client of one invocation and the lease of a single write.
#include <cstring>

#include "cli.h"

namespace stavoctl {

namespace {

int level_of(const std::string &name) {
  if (name == "trace") return EMBER_LEVEL_TRACE;
  if (name == "debug") return EMBER_LEVEL_DEBUG;
  if (name == "info") return EMBER_LEVEL_INFO;
  if (name == "warn") return EMBER_LEVEL_WARN;
  if (name == "error") return EMBER_LEVEL_ERROR;
  return EMBER_LEVEL_OFF;
}

}  // namespace

sv_client *Context::client() {
  if (client_ != nullptr) return client_;
  if (global.log_level != "off" && logger_ == nullptr) {
    ember_config config;
    ember_default_config(&config);
    config.min_level = level_of(global.log_level);
    config.file = stderr;
    logger_ = ember_new(&config);
  }
  std::vector<const char *> endpoints;
  for (const std::string &endpoint : global.endpoints)
    endpoints.push_back(endpoint.c_str());
  sv_client_config config;
  sv_client_config_init(&config);
  config.endpoints = endpoints.data();
  config.endpoint_count = endpoints.size();
  config.unix_socket_path = global.unix_socket.empty() ? nullptr : global.unix_socket.c_str();
  config.client_bundle_path = global.bundle.empty() ? nullptr : global.bundle.c_str();
  config.default_namespace =
      global.namespace_name.empty() ? nullptr : global.namespace_name.c_str();
  config.timeout_ms = global.timeout_ms;
  config.client_cert_path = global.cert.empty() ? nullptr : global.cert.c_str();
  config.client_key_path = global.key.empty() ? nullptr : global.key.c_str();
  config.ca_path = global.ca.empty() ? nullptr : global.ca.c_str();
  config.trust_bundle_ca_only = global.trust_given_cas_only ? 1 : 0;
  // --insecure: no client identity (unless one is given) and no verification of the server.
  config.disable_mtls = global.insecure && global.bundle.empty() && global.cert.empty() ? 1 : 0;
  config.insecure_skip_verify = global.insecure ? 1 : 0;
  config.logger = logger_;
  config.reuse_connections = 1;
  ErrorRecord error;
  int status = sv_client_open(&config, &client_, error.get());
  if (status != SV_OK) {
    client_ = nullptr;
    print_error(command_name, *error);
    // An unreadable bundle file is a local failure, not an unreachable server.
    throw Failure{status == SV_ERR_TRANSPORT ? kExitLocal : exit_code_for(*error)};
  }
  return client_;
}

const char *Context::namespace_or_default() const {
  return global.namespace_name.empty() ? "default" : global.namespace_name.c_str();
}

void Context::allow_waiting(int64_t wait_seconds) {
  if (global.timeout_given) return;
  constexpr int64_t kYearMs = 365LL * 24 * 3600 * 1000;
  int64_t wanted = wait_seconds < 0 || wait_seconds > kYearMs / 1000
                       ? kYearMs
                       : wait_seconds * 1000 + 30000;  // the wait plus the usual margin
  if (wanted > global.timeout_ms) global.timeout_ms = wanted;
}

Context::~Context() {
  sv_client_close(client_);
  if (logger_ != nullptr) ember_destroy(logger_);
}

const std::vector<OptionSpec> &lease_identity_specs() {
  static const std::vector<OptionSpec> table = {
      {"lease-id", "ID", "write under this held lease instead of acquiring one"},
      {"fencing-token", "N", "fencing token of --lease-id"},
      {"txn-id", "ID", "transaction of --lease-id (or to join when acquiring)"},
      {"owner", "NAME", "owner of the lease acquired for this write (default \"stavoctl\")"},
      {"ttl", "DURATION", "lifetime of the lease acquired for this write (default 30s)"},
  };
  return table;
}

std::vector<OptionSpec> with_specs(std::vector<OptionSpec> own,
                                   const std::vector<OptionSpec> &more) {
  own.insert(own.end(), more.begin(), more.end());
  return own;
}

WriteLease::WriteLease(Context &ctx, const Args &args, const std::string &key) : ctx_(ctx) {
  if (auto lease_id = args.get("lease-id")) {
    if (lease_id->empty()) throw UsageError("--lease-id must not be empty");
    lease_id_ = *lease_id;
    txn_id_ = args.get("txn-id").value_or("");
    fencing_token_ = args.i64("fencing-token", 0);
    return;
  }
  if (args.has("fencing-token")) throw UsageError("--fencing-token needs --lease-id");
  sv_acquire_req req;
  sv_acquire_req_init(&req);
  req.key = key.c_str();
  req.owner = args.c_str("owner") != nullptr ? args.c_str("owner") : "stavoctl";
  req.ttl_seconds = args.seconds("ttl", 30);
  req.txn_id = args.c_str("txn-id");
  ErrorRecord error;
  check(ctx, sv_acquire(ctx.client(), &req, &lease_, error.get()), *error);
  lease_id_ = lease_->lease_id != nullptr ? lease_->lease_id : "";
  txn_id_ = lease_->txn_id != nullptr ? lease_->txn_id : "";
  fencing_token_ = lease_->fencing_token;
}

WriteLease::~WriteLease() {
  if (lease_ == nullptr) return;
  // Not committed: discard the staged write. A failed rollback leaves the lease to expire.
  sv_release_req req;
  sv_release_req_init(&req);
  req.rollback = 1;
  ErrorRecord error;
  if (sv_lease_release(lease_, &req, error.get()) != SV_OK) sv_lease_close(lease_);
}

const char *WriteLease::lease_id() const {
  return lease_id_.c_str();
}

const char *WriteLease::txn_id() const {
  return txn_id_.empty() ? nullptr : txn_id_.c_str();
}

int64_t WriteLease::fencing_token() const {
  return fencing_token_;
}

void WriteLease::commit() {
  if (lease_ == nullptr) return;
  ErrorRecord error;
  int status = sv_lease_release(lease_, nullptr, error.get());
  if (status == SV_OK) {
    lease_ = nullptr;
    return;
  }
  sv_lease_close(lease_);  // the write is not committed; the lease expires on its own
  lease_ = nullptr;
  check(ctx_, status, *error);
}

}  // namespace stavoctl
