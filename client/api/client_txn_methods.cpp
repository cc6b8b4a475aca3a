// Distributed transactions: replay a recorded decision, and prepare, commit or roll back a
// transaction across its participants.
#include <cstdlib>

#include "../engine/sv_log.h"
#include "client_admin_internal.h"

using admin_detail::copy_string;
using admin_detail::EngineCall;

namespace {

constexpr FailureEvents kReplayEvents{"client.txn.replay.error",
                                      "client.txn.replay.transport_error", false};
constexpr FailureEvents kPrepareEvents{"client.txn.prepare.error",
                                       "client.txn.prepare.transport_error", false};
constexpr FailureEvents kCommitEvents{"client.txn.commit.error",
                                      "client.txn.commit.transport_error", false};
constexpr FailureEvents kRollbackEvents{"client.txn.rollback.error",
                                        "client.txn.rollback.transport_error", false};

// The three strings of a transaction answer, all or nothing.
template <typename Result>
bool fill_txn(Result *out, const sv_engine_txn_response &reply) noexcept {
  admin_detail::zero(out);
  return copy_string(&out->txn_id, reply.txn_id) && copy_string(&out->state, reply.state) &&
         copy_string(&out->correlation_id, reply.correlation_id);
}

bool fill_decision(sv_txn_decision_res *out, const sv_engine_txn_response &reply) noexcept {
  if (!fill_txn(out, reply)) return false;
  out->key_count = reply.key_count;
  out->has_key_count = reply.has_key_count;
  return true;
}

// The recorded decision: its strings, its participants and its numbers.
bool fill_replay(sv_txn_replay_res *out, const sv_engine_txn_response &reply) noexcept {
  if (!fill_txn(out, reply)) return false;
  out->expires_at_unix = reply.expires_at_unix;
  out->tc_term = reply.tc_term;
  if (!copy_string(&out->target_backend_hash, reply.target_backend_hash)) return false;
  if (reply.participant_count == 0) return true;
  out->participants = static_cast<sv_txn_replay_participant *>(
      std::calloc(reply.participant_count, sizeof(sv_txn_replay_participant)));
  if (out->participants == nullptr) return false;
  for (size_t i = 0; i < reply.participant_count; ++i) {
    const sv_engine_txn_participant_answer &from = reply.participants[i];
    sv_txn_replay_participant &to = out->participants[i];
    out->participant_count = i + 1;  // counted before filled, so cleanup sees it
    if (!copy_string(&to.namespace_name, from.namespace_name) || !copy_string(&to.key, from.key) ||
        !copy_string(&to.backend_hash, from.backend_hash)) {
      return false;
    }
  }
  return true;
}

using DecisionFn = int (*)(const sv_engine_client *, const sv_engine_txn_decision_request *,
                           sv_engine_txn_response *, sv_engine_error *) noexcept;

// How one decision method differs from the others.
struct Decision {
  const char *argument_message;
  const char *txn_id_message;
  const char *start_event;
  const char *success_event;
  const char *copy_message;
  FailureEvents events;
  const char *state;  // sent by decide; NULL for commit and rollback, which imply theirs
  DecisionFn call;
  bool logs_term;
};

// The participant array as the engine takes it, in the client's allocator; freed with the
// frame. A positive count with a NULL array is passed on as it is, for the engine to refuse.
class Participants {
 public:
  explicit Participants(const sv_client *client) noexcept : client_(client) {}
  ~Participants() { sv_client_free(client_, items_); }
  Participants(const Participants &) = delete;
  Participants &operator=(const Participants &) = delete;

  bool copy(const sv_txn_decision_req &req) noexcept {
    if (req.participants == nullptr || req.participant_count == 0) return true;
    items_ = static_cast<sv_engine_txn_participant *>(
        sv_client_calloc(client_, req.participant_count, sizeof(sv_engine_txn_participant)));
    if (items_ == nullptr) return false;
    for (size_t index = 0; index < req.participant_count; ++index) {
      const sv_txn_participant &from = req.participants[index];
      items_[index] = sv_engine_txn_participant{from.namespace_name, from.key, from.backend_hash};
    }
    return true;
  }
  const sv_engine_txn_participant *items() const noexcept { return items_; }

 private:
  const sv_client *client_;
  sv_engine_txn_participant *items_ = nullptr;
};

int decide(const Decision &decision, sv_client *self, const sv_txn_decision_req *req,
           sv_txn_decision_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, decision.argument_message);
  }
  if (!admin_detail::has_text(req->txn_id)) {
    return admin_detail::invalid(error, decision.txn_id_message);
  }
  if (req->participant_count > 0 && req->participants == nullptr) {
    return admin_detail::invalid(error, "txn decision participants require a non-null array");
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {
      sv_log_str_field("txn_id", req->txn_id),
      sv_log_u64_field("participants", static_cast<uint64_t>(req->participant_count)),
      sv_log_i64_field("tc_term", req->tc_term)};
  const size_t id_count = decision.logs_term ? 3 : 2;
  sv_log_trace(logger, decision.start_event, ids, id_count);
  Participants participants(self);
  if (!participants.copy(*req)) {
    return sv_api_fail_local(logger, decision.events, ids, id_count, SV_ERR_NOMEM,
                             "failed to allocate txn participants", error);
  }
  sv_engine_txn_decision_request request{};
  request.txn_id = req->txn_id;
  request.state = decision.state;
  request.participants = req->participants != nullptr ? participants.items() : nullptr;
  request.participant_count = req->participant_count;
  request.expires_at_unix = req->expires_at_unix;
  request.tc_term = req->tc_term;
  request.target_backend_hash = req->target_backend_hash;
  sv_engine_txn_response reply{};
  EngineCall call;
  if (decision.call(admin_detail::engine_of(self), &request, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, decision.events, ids, id_count, &call.error, error);
  }
  if (!fill_decision(out, reply)) {
    sv_txn_decision_res_cleanup(out);
    sv_engine_txn_response_cleanup(&reply);
    return sv_api_fail_local(logger, decision.events, ids, id_count, SV_ERR_NOMEM,
                             decision.copy_message, error);
  }
  const ember_field fields[] = {ids[0], ids[1], sv_log_str_field("state", reply.state),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, decision.success_event, fields, 4);
  sv_engine_txn_response_cleanup(&reply);
  return SV_OK;
}

const Decision kPrepare{"txn_prepare requires self, req, and out",
                        "txn_prepare requires txn_id",
                        "client.txn.prepare.start",
                        "client.txn.prepare.success",
                        "failed to allocate txn prepare response",
                        kPrepareEvents,
                        "prepare",
                        sv_engine_client_txn_decide,
                        true};
const Decision kCommit{"txn_commit requires self, req, and out",
                       "txn_commit requires txn_id",
                       "client.txn.commit.start",
                       "client.txn.commit.success",
                       "failed to allocate txn commit response",
                       kCommitEvents,
                       nullptr,
                       sv_engine_client_txn_commit,
                       false};
const Decision kRollback{"txn_rollback requires self, req, and out",
                         "txn_rollback requires txn_id",
                         "client.txn.rollback.start",
                         "client.txn.rollback.success",
                         "failed to allocate txn rollback response",
                         kRollbackEvents,
                         nullptr,
                         sv_engine_client_txn_rollback,
                         false};

}  // namespace

int sv_client_txn_replay_method(sv_client *self, const sv_txn_replay_req *req,
                                sv_txn_replay_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "txn_replay requires self, req, and out");
  }
  if (!admin_detail::has_text(req->txn_id)) {
    return admin_detail::invalid(error, "txn_replay requires txn_id");
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("txn_id", req->txn_id)};
  sv_log_trace(logger, "client.txn.replay.start", ids, 1);
  const sv_engine_txn_replay_request request{req->txn_id};
  sv_engine_txn_response reply{};
  EngineCall call;
  if (sv_engine_client_txn_replay(admin_detail::engine_of(self), &request, &reply, &call.error) !=
      SV_OK) {
    return sv_api_fail_engine(logger, kReplayEvents, ids, 1, &call.error, error);
  }
  if (!fill_replay(out, reply)) {
    sv_txn_replay_res_cleanup(out);
    sv_engine_txn_response_cleanup(&reply);
    return sv_api_fail_local(logger, kReplayEvents, ids, 1, SV_ERR_NOMEM,
                             "failed to allocate txn replay response", error);
  }
  const ember_field fields[] = {ids[0], sv_log_str_field("state", reply.state),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.txn.replay.success", fields, 3);
  sv_engine_txn_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_txn_prepare_method(sv_client *self, const sv_txn_decision_req *req,
                                 sv_txn_decision_res *out, sv_error *error) noexcept {
  return decide(kPrepare, self, req, out, error);
}

int sv_client_txn_commit_method(sv_client *self, const sv_txn_decision_req *req,
                                sv_txn_decision_res *out, sv_error *error) noexcept {
  return decide(kCommit, self, req, out, error);
}

int sv_client_txn_rollback_method(sv_client *self, const sv_txn_decision_req *req,
                                  sv_txn_decision_res *out, sv_error *error) noexcept {
  return decide(kRollback, self, req, out, error);
}

extern "C" {

SV_API void sv_txn_replay_req_init(sv_txn_replay_req *req) noexcept {
  admin_detail::zero(req);
}

SV_API void sv_txn_participant_init(sv_txn_participant *participant) noexcept {
  admin_detail::zero(participant);
}

SV_API void sv_txn_decision_req_init(sv_txn_decision_req *req) noexcept {
  admin_detail::zero(req);
}

SV_API void sv_txn_replay_res_cleanup(sv_txn_replay_res *res) noexcept {
  if (res == nullptr) return;
  for (size_t i = 0; res->participants != nullptr && i < res->participant_count; ++i) {
    admin_detail::free_string(&res->participants[i].namespace_name);
    admin_detail::free_string(&res->participants[i].key);
    admin_detail::free_string(&res->participants[i].backend_hash);
  }
  std::free(res->participants);
  admin_detail::free_string(&res->target_backend_hash);
  admin_detail::free_string(&res->txn_id);
  admin_detail::free_string(&res->state);
  admin_detail::free_string(&res->correlation_id);
  admin_detail::zero(res);
}

SV_API void sv_txn_decision_res_cleanup(sv_txn_decision_res *res) noexcept {
  if (res == nullptr) return;
  admin_detail::free_string(&res->txn_id);
  admin_detail::free_string(&res->state);
  admin_detail::free_string(&res->correlation_id);
  admin_detail::zero(res);
}

}  // extern "C"
