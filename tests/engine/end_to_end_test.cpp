// The engine against the dev server's real queue and query endpoints (no scripted answers):
// what enqueue_from uploads comes back byte for byte through the dequeue streams, settling
// changes what the next dequeue sees, and query pages over stored documents.
#include <set>
#include <string>
#include <vector>

#include "stream_fixture.h"

namespace {

using engine_test::Error;
using engine_test::StreamTest;
using engine_test::StringReader;
using engine_test::text;

// Collects every delivered message and its payload.
struct Collected {
  struct Message {
    std::string id, lease_id, txn_id, meta_etag, payload;
    int64_t fencing_token = 0;
    int32_t attempts = 0;
  };
  std::vector<Message> messages;
  static int begin(void *context, const sv_engine_dequeue_response *message, sv_engine_error *) {
    auto *self = static_cast<Collected *>(context);
    Message copy;
    copy.id = text(message->message_id);
    copy.lease_id = text(message->lease_id);
    copy.txn_id = message->txn_id != nullptr ? message->txn_id : "";
    copy.meta_etag = text(message->meta_etag);
    copy.fencing_token = message->fencing_token;
    copy.attempts = message->attempts;
    self->messages.push_back(copy);
    return 1;
  }
  static int chunk(void *context, const char *bytes, size_t length, sv_engine_error *) {
    static_cast<Collected *>(context)->messages.back().payload.append(bytes, length);
    return 1;
  }
};

class EndToEnd : public StreamTest {
 protected:
  std::string enqueue(const std::string &queue, const std::string &payload) {
    sv_engine_enqueue_request request{};
    request.queue = queue.c_str();
    request.payload_content_type = "application/octet-stream";
    StringReader reader(payload, 7000);
    sv_engine_enqueue_response response{};
    Error error;
    EXPECT_EQ(sv_engine_client_enqueue_from(client_.client, &request, StringReader::read, &reader,
                                            &response, &error),
              SV_OK)
        << error.message();
    EXPECT_EQ(response.payload_bytes, static_cast<int64_t>(payload.size()));
    std::string id = text(response.message_id);
    sv_engine_enqueue_response_cleanup(&response);
    return id;
  }
  sv_engine_dequeue_request dequeue_request(const char *queue, int32_t page_size) {
    sv_engine_dequeue_request request{};
    request.queue = queue;
    request.owner = "e2e-worker";
    request.visibility_timeout_seconds = 30;
    request.wait_seconds = 0;
    request.page_size = page_size;
    return request;
  }
};

TEST_F(EndToEnd, EnqueuedBytesComeBackThroughTheSynchronousDequeueAndAckEmptiesTheQueue) {
  open();
  std::string payload;
  for (int i = 0; i < 100000; ++i)
    payload.push_back(static_cast<char>(i * 7 + 3));
  const std::string id = enqueue("e2e-sync", payload);
  ASSERT_FALSE(id.empty());

  sv_engine_dequeue_request request = dequeue_request("e2e-sync", 1);
  sv_engine_dequeue_response message{};
  Error error;
  ASSERT_EQ(sv_engine_client_dequeue(client_.client, &request, &message, &error), SV_OK)
      << error.message();
  ASSERT_EQ(text(message.message_id), id);
  EXPECT_EQ(message.payload_bytes, static_cast<int64_t>(payload.size()));
  ASSERT_NE(message.payload, nullptr);
  std::string read_back;
  char buffer[4096];
  sv_error read_error{};
  for (;;) {
    const size_t n = message.payload->read(message.payload, buffer, sizeof buffer, &read_error);
    if (n == 0) break;
    read_back.append(buffer, n);
  }
  EXPECT_EQ(read_error.code, SV_OK);
  EXPECT_EQ(read_back, payload);

  sv_engine_queue_ack_request ack{};
  ack.queue = "e2e-sync";
  ack.message_id = message.message_id;
  ack.lease_id = message.lease_id;
  ack.txn_id = message.txn_id;
  ack.fencing_token = message.fencing_token;
  ack.meta_etag = message.meta_etag;
  sv_engine_queue_ack_response acked{};
  ASSERT_EQ(sv_engine_client_queue_ack(client_.client, &ack, &acked, &error), SV_OK)
      << error.message();
  EXPECT_EQ(acked.acked, 1);
  sv_engine_queue_ack_response_cleanup(&acked);

  // A second ack of the settled message is refused by the server.
  EXPECT_EQ(sv_engine_client_queue_ack(client_.client, &ack, &acked, &error), SV_ERR_SERVER);
  EXPECT_EQ(text(error.record.server_error_code), "message_not_found");
  sv_engine_dequeue_response_cleanup(&message);

  // Nothing is left: the dequeue reports no message.
  ASSERT_EQ(sv_engine_client_dequeue(client_.client, &request, &message, &error), SV_OK)
      << error.message();
  EXPECT_EQ(message.message_id, nullptr);
  sv_engine_dequeue_response_cleanup(&message);

  sv_engine_queue_stats_request stats_request{};
  stats_request.queue = "e2e-sync";
  sv_engine_queue_stats_response stats{};
  ASSERT_EQ(sv_engine_client_queue_stats(client_.client, &stats_request, &stats, &error), SV_OK)
      << error.message();
  EXPECT_EQ(stats.available, 0);
  EXPECT_EQ(stats.head_message_id, nullptr);
  sv_engine_queue_stats_response_cleanup(&stats);
}

TEST_F(EndToEnd, ADeferredNackRedeliversAndTwoMessagesShareOneStream) {
  open();
  const std::string first = enqueue("e2e-stream", "first payload");
  const std::string second = enqueue("e2e-stream", std::string(300000, 's'));

  sv_engine_dequeue_request request = dequeue_request("e2e-stream", 2);
  sv_engine_message_handler handler{Collected::begin, Collected::chunk, nullptr};
  Collected collected;
  Error error;
  ASSERT_EQ(sv_engine_client_dequeue_into(client_.client, &request, &handler, &collected, &error),
            SV_OK)
      << error.message();
  ASSERT_EQ(collected.messages.size(), 2u);
  EXPECT_EQ(collected.messages[0].id, first);
  EXPECT_EQ(collected.messages[0].payload, "first payload");
  EXPECT_EQ(collected.messages[1].id, second);
  EXPECT_EQ(collected.messages[1].payload, std::string(300000, 's'));

  // Defer the first (with a last error), ack the second.
  const auto &deferred = collected.messages[0];
  sv_engine_queue_nack_request nack{};
  nack.queue = "e2e-stream";
  nack.message_id = deferred.id.c_str();
  nack.lease_id = deferred.lease_id.c_str();
  nack.txn_id = deferred.txn_id.c_str();
  nack.fencing_token = deferred.fencing_token;
  nack.meta_etag = deferred.meta_etag.c_str();
  nack.intent = "defer";
  nack.last_error = "{\"reason\":\"try later\"}";
  sv_engine_queue_nack_response nacked{};
  ASSERT_EQ(sv_engine_client_queue_nack(client_.client, &nack, &nacked, &error), SV_OK)
      << error.message();
  EXPECT_EQ(nacked.requeued, 1);
  sv_engine_queue_nack_response_cleanup(&nacked);

  const auto &done = collected.messages[1];
  sv_engine_queue_ack_request ack{};
  ack.queue = "e2e-stream";
  ack.message_id = done.id.c_str();
  ack.lease_id = done.lease_id.c_str();
  ack.txn_id = done.txn_id.c_str();
  ack.fencing_token = done.fencing_token;
  ack.meta_etag = done.meta_etag.c_str();
  sv_engine_queue_ack_response acked{};
  ASSERT_EQ(sv_engine_client_queue_ack(client_.client, &ack, &acked, &error), SV_OK)
      << error.message();
  sv_engine_queue_ack_response_cleanup(&acked);

  // Only the deferred message comes back, as a second delivery.
  Collected again;
  ASSERT_EQ(sv_engine_client_dequeue_into(client_.client, &request, &handler, &again, &error),
            SV_OK)
      << error.message();
  ASSERT_EQ(again.messages.size(), 1u);
  EXPECT_EQ(again.messages[0].id, first);
  EXPECT_EQ(again.messages[0].payload, "first payload");
  EXPECT_EQ(again.messages[0].attempts, deferred.attempts + 1);
}

// Keys stored through leases are found by query_keys, page by page, each exactly once.
TEST_F(EndToEnd, QueryKeysPagesOverStoredDocuments) {
  open();
  std::set<std::string> stored;
  for (int i = 0; i < 7; ++i) {
    const std::string key = "e2e-query/" + std::to_string(i);
    const engine_test::Lease lease = engine_test::acquire_lease(client_.client, key);
    const std::string body = "{\"kind\":\"order\",\"n\":" + std::to_string(i) + "}";
    sv_engine_update_request update{};
    update.key = key.c_str();
    update.lease_id = lease.lease_id.c_str();
    update.txn_id = lease.txn_id.c_str();
    update.fencing_token = lease.fencing_token;
    update.body = body.c_str();
    update.body_length = body.size();
    update.content_type = "application/json";
    sv_engine_update_response updated{};
    Error error;
    ASSERT_EQ(sv_engine_client_update(client_.client, &update, &updated, &error), SV_OK)
        << error.message();
    sv_engine_update_response_cleanup(&updated);
    sv_engine_release_request release{};
    release.key = key.c_str();
    release.lease_id = lease.lease_id.c_str();
    release.txn_id = lease.txn_id.c_str();
    release.fencing_token = lease.fencing_token;
    sv_engine_release_response released{};
    ASSERT_EQ(sv_engine_client_release(client_.client, &release, &released, &error), SV_OK)
        << error.message();
    sv_engine_release_response_cleanup(&released);
    stored.insert(key);
  }

  struct Keys {
    std::vector<std::string> keys;
    static int begin(void *context, sv_engine_error *) {
      static_cast<Keys *>(context)->keys.emplace_back();
      return 1;
    }
    static int chunk(void *context, const char *bytes, size_t length, sv_engine_error *) {
      static_cast<Keys *>(context)->keys.back().append(bytes, length);
      return 1;
    }
  } found;
  sv_engine_query_key_handler handler{Keys::begin, Keys::chunk, nullptr};
  std::string cursor;
  int pages = 0;
  do {
    sv_engine_query_request request{};
    request.selector_json = "{\"/kind\":\"order\",\"/n\":{\"$gte\":0}}";
    request.limit = 3;
    request.cursor = cursor.c_str();
    sv_engine_query_stream_response response{};
    Error error;
    ASSERT_EQ(
        sv_engine_client_query_keys(client_.client, &request, &handler, &found, &response, &error),
        SV_OK)
        << error.message();
    EXPECT_EQ(response.has_index_seq, 1);
    cursor = response.cursor != nullptr ? response.cursor : "";
    sv_engine_query_stream_response_cleanup(client_.client, &response);
    ASSERT_LT(++pages, 10) << "paging does not end";
  } while (!cursor.empty());
  EXPECT_EQ(pages, 3);
  EXPECT_EQ(std::set<std::string>(found.keys.begin(), found.keys.end()), stored);
  EXPECT_EQ(found.keys.size(), stored.size());
}

}  // namespace
