// Distributed transactions: replay a transaction's recorded state and record decisions
// (decide, commit, rollback) with the keys taking part.
#include <cstdlib>
#include <cstring>

#include "admin_internal.h"

namespace {

struct ReplayBody {
  const char *txn_id;
};
const brindle_field replay_body_fields[] = {
    BRINDLE_DECL_STRING(ReplayBody, txn_id, "txn_id", 0),
};
const brindle_map replay_body_map =
    BRINDLE_MAP("sv_engine_txn_replay_request", ReplayBody, replay_body_fields);

// The participants are written straight from the caller's array; null members go out as null.
const brindle_field participant_fields[] = {
    BRINDLE_DECL_STRING(sv_engine_txn_participant, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(sv_engine_txn_participant, key, "key", 0),
    BRINDLE_DECL_STRING(sv_engine_txn_participant, backend_hash, "backend_hash", 0),
};
const brindle_map participant_map =
    BRINDLE_MAP("sv_engine_txn_participant", sv_engine_txn_participant, participant_fields);

struct DecisionBody {
  const char *txn_id;
  const char *state;
  brindle_object_array participants;
  int64_t expires_at_unix;
  int32_t has_expires_at_unix;
  int64_t tc_term;
  int32_t has_tc_term;
  const char *target_backend_hash;  // NULL when empty
};
const brindle_field decision_body_fields[] = {
    BRINDLE_DECL_STRING(DecisionBody, txn_id, "txn_id", 0),
    BRINDLE_DECL_STRING(DecisionBody, state, "state", 0),
    BRINDLE_DECL_OBJECT_ARRAY(DecisionBody, participants, "participants", BRINDLE_FIELD_OMIT_EMPTY,
                              &participant_map, sv_engine_txn_participant),
    BRINDLE_DECL_PRESENT(DecisionBody, expires_at_unix, "expires_at_unix", BRINDLE_FIELD_I64, 0,
                         has_expires_at_unix),
    BRINDLE_DECL_PRESENT(DecisionBody, tc_term, "tc_term", BRINDLE_FIELD_I64, 0, has_tc_term),
    BRINDLE_DECL_STRING(DecisionBody, target_backend_hash, "target_backend_hash",
                        BRINDLE_FIELD_OMIT_NULL),
};
const brindle_map decision_body_map =
    BRINDLE_MAP("sv_engine_txn_decision_body_json", DecisionBody, decision_body_fields);

// A participant as a replay answer lists it.
struct ParticipantAnswer {
  char *namespace_name;
  char *key;
  char *backend_hash;
};
const brindle_field participant_answer_fields[] = {
    BRINDLE_DECL_STRING(ParticipantAnswer, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(ParticipantAnswer, key, "key", 0),
    BRINDLE_DECL_STRING(ParticipantAnswer, backend_hash, "backend_hash", 0),
};
const brindle_map participant_answer_map =
    BRINDLE_MAP("sv_engine_txn_participant_json", ParticipantAnswer, participant_answer_fields);

struct TxnAnswer {
  char *txn_id;
  char *state;
  int64_t keys;
  int32_t has_keys;
  brindle_object_array participants;
  int64_t expires_at_unix;
  int64_t tc_term;
  char *target_backend_hash;
};
const brindle_field txn_answer_fields[] = {
    BRINDLE_DECL_STRING(TxnAnswer, txn_id, "txn_id", 0),
    BRINDLE_DECL_STRING(TxnAnswer, state, "state", 0),
    BRINDLE_DECL_PRESENT(TxnAnswer, keys, "keys", BRINDLE_FIELD_I64, 0, has_keys),
    BRINDLE_DECL_OBJECT_ARRAY(TxnAnswer, participants, "participants", 0, &participant_answer_map,
                              ParticipantAnswer),
    BRINDLE_DECL_I64(TxnAnswer, expires_at_unix, "expires_at_unix", 0),
    BRINDLE_DECL_I64(TxnAnswer, tc_term, "tc_term", 0),
    BRINDLE_DECL_STRING(TxnAnswer, target_backend_hash, "target_backend_hash", 0),
};
const brindle_map txn_answer_map =
    BRINDLE_MAP("sv_engine_txn_response_json", TxnAnswer, txn_answer_fields);

// Copies everything of the answer into the response; false when a copy fails (what was copied
// stays for the response's cleanup).
bool copy_answer(const TxnAnswer &answer, sv_engine_txn_response *response) {
  response->key_count = answer.keys;
  response->has_key_count = answer.has_keys != 0 ? 1 : 0;
  response->expires_at_unix = answer.expires_at_unix;
  response->tc_term = answer.tc_term;
  if (!sv_engine_admin_copy(&response->txn_id, answer.txn_id) ||
      !sv_engine_admin_copy(&response->state, answer.state) ||
      !sv_engine_admin_copy(&response->target_backend_hash, answer.target_backend_hash)) {
    return false;
  }
  if (answer.participants.count == 0) return true;
  response->participants = static_cast<sv_engine_txn_participant_answer *>(
      std::calloc(answer.participants.count, sizeof(sv_engine_txn_participant_answer)));
  if (response->participants == nullptr) return false;
  const auto *items = static_cast<const ParticipantAnswer *>(answer.participants.items);
  for (size_t i = 0; i < answer.participants.count; ++i) {
    sv_engine_txn_participant_answer &to = response->participants[i];
    response->participant_count = i + 1;  // counted before filled, so cleanup sees it
    if (!sv_engine_admin_copy(&to.namespace_name, items[i].namespace_name) ||
        !sv_engine_admin_copy(&to.key, items[i].key) ||
        !sv_engine_admin_copy(&to.backend_hash, items[i].backend_hash)) {
      return false;
    }
  }
  return true;
}

bool is_set(const char *text) {
  return text != nullptr && text[0] != '\0';
}

int exchange(const sv_engine_client *client, const char *path, const brindle_map *body_map,
             const void *body, sv_engine_txn_response *response, sv_engine_error *error) {
  TxnAnswer answer{};
  const sv_engine_admin_call call = {"POST",          path,    body_map, body,
                                     &txn_answer_map, &answer, false,    false};
  int status = sv_engine_admin_exchange(client, call, &response->correlation_id, error);
  if (status == SV_OK && !copy_answer(answer, response)) {
    status = sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate txn response");
  }
  brindle_cleanup(&txn_answer_map, &answer);
  return status;
}

int decide(const sv_engine_client *client, const char *path,
           const sv_engine_txn_decision_request *request, const char *state,
           sv_engine_txn_response *response, sv_engine_error *error) {
  if (request->participant_count > 0 && request->participants == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "txn decision participants require a non-null array");
  }
  sv_engine_txn_response_cleanup(response);
  DecisionBody body{};
  body.txn_id = request->txn_id;
  body.state = state;
  // A view of the caller's array: fixed storage, never grown or freed.
  body.participants.items = const_cast<sv_engine_txn_participant *>(request->participants);
  body.participants.count = request->participant_count;
  body.participants.capacity = request->participant_count;
  body.participants.element_size = sizeof(sv_engine_txn_participant);
  body.participants.flags = BRINDLE_ARRAY_FIXED;
  body.expires_at_unix = request->expires_at_unix;
  body.has_expires_at_unix = request->expires_at_unix > 0 ? 1 : 0;
  body.tc_term = request->tc_term;
  body.has_tc_term = request->tc_term > 0 ? 1 : 0;
  body.target_backend_hash =
      is_set(request->target_backend_hash) ? request->target_backend_hash : nullptr;
  return exchange(client, path, &decision_body_map, &body, response, error);
}

}  // namespace

extern "C" {

SV_API void sv_engine_txn_response_cleanup(sv_engine_txn_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->txn_id);
  sv_engine_free_string(&response->state);
  sv_engine_free_string(&response->correlation_id);
  sv_engine_free_string(&response->target_backend_hash);
  for (size_t i = 0; response->participants != nullptr && i < response->participant_count; ++i) {
    sv_engine_free_string(&response->participants[i].namespace_name);
    sv_engine_free_string(&response->participants[i].key);
    sv_engine_free_string(&response->participants[i].backend_hash);
  }
  std::free(response->participants);
  *response = sv_engine_txn_response{};
}

SV_API int sv_engine_client_txn_replay(const sv_engine_client *client,
                                       const sv_engine_txn_replay_request *request,
                                       sv_engine_txn_response *response,
                                       sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr ||
      !is_set(request->txn_id)) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "txn_replay requires client, request, response, error, and txn_id");
  }
  sv_engine_txn_response_cleanup(response);
  const ReplayBody body{request->txn_id};
  return exchange(client, "/v1/txn/replay", &replay_body_map, &body, response, error);
}

SV_API int sv_engine_client_txn_decide(const sv_engine_client *client,
                                       const sv_engine_txn_decision_request *request,
                                       sv_engine_txn_response *response,
                                       sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr ||
      !is_set(request->txn_id) || !is_set(request->state)) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID,
        "txn_decide requires client, request, response, error, txn_id, and state");
  }
  return decide(client, "/v1/txn/decide", request, request->state, response, error);
}

SV_API int sv_engine_client_txn_commit(const sv_engine_client *client,
                                       const sv_engine_txn_decision_request *request,
                                       sv_engine_txn_response *response,
                                       sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "txn_commit requires client, request, response, and error");
  }
  return decide(client, "/v1/txn/commit", request, "commit", response, error);
}

SV_API int sv_engine_client_txn_rollback(const sv_engine_client *client,
                                         const sv_engine_txn_decision_request *request,
                                         sv_engine_txn_response *response,
                                         sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "txn_rollback requires client, request, response, and error");
  }
  return decide(client, "/v1/txn/rollback", request, "rollback", response, error);
}

}  // extern "C"
