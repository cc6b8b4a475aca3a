// State of the query configuration, transaction and coordinator endpoints, shared by their
// files and kept apart from the key store. Created once per server by add_admin_endpoints().
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "endpoints.h"
#include "util.h"

namespace stavo::devserver {

// Query engine choice of one namespace ("index" or "scan").
struct NamespaceConfig {
  std::string preferred_engine = "index";
  std::string fallback_engine = "scan";
};

struct TxnParticipant {
  std::optional<std::string> ns, key, backend_hash;
};

// A recorded transaction decision: "prepare", "commit" or "rollback".
struct TxnRecord {
  std::string state;
  std::vector<TxnParticipant> participants;
  int64_t expires_at_unix = 0;  // 0: a prepared transaction does not expire
  int64_t tc_term = 0;
  std::string target_backend_hash;
  int64_t updated_ms = 0;
  std::vector<std::string> prepared_leases;  // the leases under the transaction when prepared
};

struct LeaderLease {
  std::string leader_id;
  std::string leader_endpoint;
  int64_t expires_ms = 0;
};

struct ClusterMember {
  int64_t expires_ms = 0;
};

struct ResourceManager {
  std::vector<std::string> endpoints;  // in registration order
  int64_t updated_ms = 0;
};

struct AdminState {
  std::mutex mutex;  // guards everything below except `txns`
  std::map<std::string, NamespaceConfig> namespaces;
  int64_t flush_counter = 0;

  // Coordinator: the current term survives the leader that held it.
  int64_t term = 0;
  std::optional<LeaderLease> leader;
  std::map<std::string, ClusterMember> members;  // by endpoint
  int64_t members_updated_ms = 0;
  std::map<std::string, ResourceManager> managers;  // by backend hash
  int64_t managers_updated_ms = 0;

  // Transactions change key records together with their decision, so they are guarded by the
  // store's lock instead of `mutex`.
  std::map<std::string, TxnRecord> txns;
};

// The namespace's configuration (defaults when never set).
NamespaceConfig namespace_config(AdminState &state, const std::string &ns);

// The number of commits in namespace `ns` (a commit counts once, whatever versions it took).
int64_t namespace_index_seq(Store &store, Store::Lock &lock, const std::string &ns);

// An integer member that must not be negative.
std::optional<Reply> member_count(const json &body, const char *name, bool required, int64_t &out);

void add_query_endpoints(Routes &routes, EndpointContext &context, AdminState &state);
void add_namespace_endpoints(Routes &routes, EndpointContext &context, AdminState &state);
void add_txn_endpoints(Routes &routes, EndpointContext &context, AdminState &state);
void add_coordinator_endpoints(Routes &routes, EndpointContext &context, AdminState &state);

}  // namespace stavo::devserver
