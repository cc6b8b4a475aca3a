// Queue statistics, ack, nack and extend against the dev server's scripted answers: the exact
// JSON each call sends (members left out when absent, in order), the copied answers, range
// checks and server errors.
#include <gtest/gtest.h>

#include <string>

#include "queue_fixture.h"

namespace {

using queue_test::Rig;
using queue_test::Transport;
using stavo::test::Fault;

std::string text(const char *value) {
  return value != nullptr ? value : "<null>";
}

class QueueOperations : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(rig_.open(), SV_OK) << rig_.client_record().open_message; }
  void answer(const std::string &path, const std::string &body) {
    rig_.server().add_fault(
        Fault::respond("POST", path, 200, body, {{"Content-Type", "application/json"}}));
  }
  std::string sent_body(const std::string &path) {
    return queue_test::request_to(rig_.server(), path).body;
  }

  Rig rig_{Transport::kHttp1};
  queue_test::Outcome out_;
};

TEST_F(QueueOperations, AckSendsOnlyWhatIsPresent) {
  answer("/v1/queue/ack", R"({"acked":true})");
  sv_engine_queue_ack_request request{};
  request.queue = "jobs";
  request.message_id = "m1";
  request.lease_id = "l1";
  request.txn_id = "";
  request.state_fencing_token = 9;  // without a state lease id: neither is sent
  sv_engine_queue_ack_response response{};
  out_.status = sv_engine_client_queue_ack(rig_.client(), &request, &response, &out_.error);
  ASSERT_EQ(out_.status, SV_OK) << out_.message();
  EXPECT_EQ(response.acked, 1);
  EXPECT_NE(response.correlation_id, nullptr);
  EXPECT_EQ(sent_body("/v1/queue/ack"),
            R"({"namespace":"default","queue":"jobs","message_id":"m1","lease_id":"l1"})");
  const auto logged = queue_test::request_to(rig_.server(), "/v1/queue/ack");
  EXPECT_EQ(text(logged.header("Content-Type") ? logged.header("Content-Type")->c_str() : nullptr),
            "application/json");
  EXPECT_EQ(text(logged.header("Accept") ? logged.header("Accept")->c_str() : nullptr),
            "application/json");
  sv_engine_queue_ack_response_cleanup(&response);
  sv_engine_queue_ack_response_cleanup(&response);  // twice is harmless
}

TEST_F(QueueOperations, AckWithEveryMemberKeepsTheOrder) {
  answer("/v1/queue/ack", R"({"acked":false})");
  sv_engine_queue_ack_request request{"ns1", "jobs", "m1", "l1", "t1", 4, "me", "se", "sl", 3};
  sv_engine_queue_ack_response response{};
  out_.status = sv_engine_client_queue_ack(rig_.client(), &request, &response, &out_.error);
  ASSERT_EQ(out_.status, SV_OK) << out_.message();
  EXPECT_EQ(response.acked, 0);
  EXPECT_EQ(sent_body("/v1/queue/ack"),
            R"({"namespace":"ns1","queue":"jobs","message_id":"m1","lease_id":"l1",)"
            R"("txn_id":"t1","fencing_token":4,"meta_etag":"me","state_etag":"se",)"
            R"("state_lease_id":"sl","state_fencing_token":3})");
  sv_engine_queue_ack_response_cleanup(&response);
}

TEST_F(QueueOperations, NackEmbedsTheErrorDocumentAsJson) {
  answer("/v1/queue/nack", R"({"requeued":true,"meta_etag":"e2"})");
  sv_engine_queue_nack_request request{};
  request.queue = "jobs";
  request.message_id = "m1";
  request.lease_id = "l1";
  request.meta_etag = "e1";
  request.delay_seconds = 30;
  request.intent = "failure";
  request.last_error = "{ \"code\": 7, \"why\": [\"a\", {\"b\": null}] }";
  request.state_lease_id = "sl";
  request.state_fencing_token = 1;
  sv_engine_queue_nack_response response{};
  out_.status = sv_engine_client_queue_nack(rig_.client(), &request, &response, &out_.error);
  ASSERT_EQ(out_.status, SV_OK) << out_.message();
  EXPECT_EQ(response.requeued, 1);
  EXPECT_EQ(text(response.meta_etag), "e2");
  EXPECT_EQ(sent_body("/v1/queue/nack"),
            R"({"namespace":"default","queue":"jobs","message_id":"m1","lease_id":"l1",)"
            R"("meta_etag":"e1","delay_seconds":30,)"
            R"("last_error":{"code":7,"why":["a",{"b":null}]},"intent":"failure",)"
            R"("state_lease_id":"sl","state_fencing_token":1})");
  sv_engine_queue_nack_response_cleanup(&response);
}

TEST_F(QueueOperations, NackLeavesOutEmptyErrorZeroDelayAndRejectsInvalidJson) {
  answer("/v1/queue/nack", R"({"requeued":false})");
  sv_engine_queue_nack_request request{};
  request.queue = "jobs";
  request.message_id = "m1";
  request.lease_id = "l1";
  request.meta_etag = "e1";
  request.last_error = "";
  request.intent = "defer";
  sv_engine_queue_nack_response response{};
  out_.status = sv_engine_client_queue_nack(rig_.client(), &request, &response, &out_.error);
  ASSERT_EQ(out_.status, SV_OK) << out_.message();
  EXPECT_EQ(response.requeued, 0);
  EXPECT_EQ(response.meta_etag, nullptr);
  EXPECT_EQ(sent_body("/v1/queue/nack"),
            R"({"namespace":"default","queue":"jobs","message_id":"m1","lease_id":"l1",)"
            R"("meta_etag":"e1","intent":"defer"})");

  // A broken document fails before anything is sent.
  rig_.server().clear_requests();
  request.last_error = "{\"unterminated\": ";
  queue_test::Outcome broken;
  broken.status = sv_engine_client_queue_nack(rig_.client(), &request, &response, &broken.error);
  EXPECT_NE(broken.status, SV_OK);
  EXPECT_NE(broken.message().find("queue_nack last_error"), std::string::npos) << broken.message();
  EXPECT_TRUE(rig_.server().requests().empty());
  sv_engine_queue_nack_response_cleanup(&response);
}

TEST_F(QueueOperations, ExtendSendsItsMembersAndCopiesTheAnswer) {
  answer("/v1/queue/extend",
         R"({"lease_expires_at_unix":1767225690,"visibility_timeout_seconds":90,)"
         R"("meta_etag":"e3","state_lease_expires_at_unix":1767225691,"ignored":[1,2]})");
  sv_engine_queue_extend_request request{};
  request.queue = "jobs";
  request.message_id = "m1";
  request.lease_id = "l1";
  request.meta_etag = "e2";
  request.fencing_token = 5;
  request.extend_by_seconds = 60;
  request.state_fencing_token = 2;  // no state lease id: left out
  sv_engine_queue_extend_response response{};
  out_.status = sv_engine_client_queue_extend(rig_.client(), &request, &response, &out_.error);
  ASSERT_EQ(out_.status, SV_OK) << out_.message();
  EXPECT_EQ(response.lease_expires_at_unix, 1767225690);
  EXPECT_EQ(response.visibility_timeout_seconds, 90);
  EXPECT_EQ(text(response.meta_etag), "e3");
  EXPECT_EQ(response.state_lease_expires_at_unix, 1767225691);
  EXPECT_EQ(sent_body("/v1/queue/extend"),
            R"({"namespace":"default","queue":"jobs","message_id":"m1","lease_id":"l1",)"
            R"("fencing_token":5,"meta_etag":"e2","extend_by_seconds":60})");
  sv_engine_queue_extend_response_cleanup(&response);
}

TEST_F(QueueOperations, StatsCopiesTheAnswerAndChecksRanges) {
  answer("/v1/queue/stats",
         R"({"namespace":"default","queue":"jobs","waiting_consumers":2,"pending_candidates":3,)"
         R"("total_consumers":4,"has_active_watcher":true,"available":false,)"
         R"("head_message_id":"m9","head_enqueued_at_unix":100,)"
         R"("head_not_visible_until_unix":110,"head_age_seconds":12})");
  sv_engine_queue_stats_request request{nullptr, "jobs"};
  sv_engine_queue_stats_response response{};
  out_.status = sv_engine_client_queue_stats(rig_.client(), &request, &response, &out_.error);
  ASSERT_EQ(out_.status, SV_OK) << out_.message();
  EXPECT_EQ(sent_body("/v1/queue/stats"), R"({"namespace":"default","queue":"jobs"})");
  EXPECT_EQ(text(response.queue), "jobs");
  EXPECT_EQ(response.waiting_consumers, 2);
  EXPECT_EQ(response.pending_candidates, 3);
  EXPECT_EQ(response.total_consumers, 4);
  EXPECT_EQ(response.has_active_watcher, 1);
  EXPECT_EQ(response.available, 0);
  EXPECT_EQ(text(response.head_message_id), "m9");
  EXPECT_EQ(response.head_age_seconds, 12);

  for (const char *member : {"waiting_consumers", "pending_candidates", "total_consumers"}) {
    answer("/v1/queue/stats", std::string("{\"") + member + "\":2147483648}");
    queue_test::Outcome over;
    over.status = sv_engine_client_queue_stats(rig_.client(), &request, &response, &over.error);
    EXPECT_EQ(over.status, SV_ERR_PROTOCOL) << member;
    EXPECT_EQ(over.message(), std::string("queue_stats ") + member + " is out of range");
  }
  answer("/v1/queue/stats", R"({"waiting_consumers":-2147483648})");
  out_.status = sv_engine_client_queue_stats(rig_.client(), &request, &response, &out_.error);
  EXPECT_EQ(out_.status, SV_OK);
  EXPECT_EQ(response.waiting_consumers, INT32_MIN);
  sv_engine_queue_stats_response_cleanup(&response);
}

TEST_F(QueueOperations, ServerErrorsKeepTheirMembers) {
  rig_.server().add_fault(
      Fault::error("POST", "/v1/queue/ack", 404, "message_not_found", "no such message"));
  sv_engine_queue_ack_request request{};
  request.queue = "jobs";
  request.message_id = "gone";
  request.lease_id = "l1";
  sv_engine_queue_ack_response response{};
  out_.status = sv_engine_client_queue_ack(rig_.client(), &request, &response, &out_.error);
  EXPECT_EQ(out_.status, SV_ERR_SERVER);
  EXPECT_EQ(out_.error.http_status, 404);
  EXPECT_EQ(out_.server_code(), "message_not_found");
  EXPECT_EQ(text(out_.error.detail), "no such message");
  EXPECT_NE(out_.error.correlation_id, nullptr);

  rig_.server().add_fault(Fault::error("POST", "/v1/queue/extend", 409, "meta_etag_mismatch"));
  sv_engine_queue_extend_request extend{};
  extend.queue = "jobs";
  extend.message_id = "m";
  extend.lease_id = "l";
  extend.meta_etag = "old";
  sv_engine_queue_extend_response extended{};
  queue_test::Outcome conflict;
  conflict.status =
      sv_engine_client_queue_extend(rig_.client(), &extend, &extended, &conflict.error);
  EXPECT_EQ(conflict.status, SV_ERR_SERVER);
  EXPECT_EQ(conflict.server_code(), "meta_etag_mismatch");
  EXPECT_EQ(extended.meta_etag, nullptr);

  // The dev server's own answer to a path it does not serve is a server error too.
  sv_engine_queue_stats_request stats{nullptr, "jobs"};
  sv_engine_queue_stats_response counted{};
  queue_test::Outcome refused;
  rig_.server().add_fault(Fault::error("POST", "/v1/queue/stats", 500, "internal"));
  refused.status = sv_engine_client_queue_stats(rig_.client(), &stats, &counted, &refused.error);
  EXPECT_EQ(refused.status, SV_ERR_SERVER);
  EXPECT_EQ(refused.error.http_status, 500);
}

TEST_F(QueueOperations, ArgumentChecksComeBeforeAnyRequest) {
  sv_engine_queue_ack_request ack{};
  sv_engine_queue_ack_response acked{};
  EXPECT_EQ(sv_engine_client_queue_ack(rig_.client(), &ack, &acked, nullptr), SV_ERR_INVALID);
  out_.status = sv_engine_client_queue_ack(rig_.client(), &ack, &acked, &out_.error);
  EXPECT_EQ(out_.status, SV_ERR_INVALID);
  EXPECT_EQ(out_.message(), "queue_ack requires queue, message_id, and lease_id");

  sv_engine_queue_nack_request nack{};
  nack.queue = "jobs";
  nack.message_id = "m";
  nack.lease_id = "l";  // no meta_etag
  sv_engine_queue_nack_response nacked{};
  queue_test::Outcome a;
  a.status = sv_engine_client_queue_nack(rig_.client(), &nack, &nacked, &a.error);
  EXPECT_EQ(a.message(), "queue_nack requires queue, message_id, lease_id, and meta_etag");
  queue_test::Outcome b;
  b.status = sv_engine_client_queue_nack(nullptr, &nack, &nacked, &b.error);
  EXPECT_EQ(b.message(), "queue_nack requires client, request, response, and error");

  sv_engine_queue_extend_request extend{};
  sv_engine_queue_extend_response extended{};
  queue_test::Outcome c;
  c.status = sv_engine_client_queue_extend(rig_.client(), &extend, &extended, &c.error);
  EXPECT_EQ(c.message(), "queue_extend requires queue, message_id, lease_id, and meta_etag");

  sv_engine_queue_stats_request stats{nullptr, ""};
  sv_engine_queue_stats_response counted{};
  queue_test::Outcome d;
  d.status = sv_engine_client_queue_stats(rig_.client(), &stats, &counted, &d.error);
  EXPECT_EQ(d.status, SV_ERR_INVALID);
  EXPECT_EQ(d.message(), "queue_stats requires queue");
  queue_test::Outcome e;
  e.status = sv_engine_client_queue_stats(rig_.client(), &stats, nullptr, &e.error);
  EXPECT_EQ(e.message(), "queue_stats requires client, request, response, and error");
  EXPECT_TRUE(rig_.server().requests().empty());
}

}  // namespace
