// Helpers of the network tests: typed records for the dev server's lease answers, an engine
// client opened for a test, one exchange call with everything it produced, and a port on which
// nothing listens.
#ifndef STAVO_TESTS_ENGINE_EXCHANGE_FIXTURE_H
#define STAVO_TESTS_ENGINE_EXCHANGE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brindle_core.h"
#include "engine_test_support.h"
#include "stavoc_engine.h"
#include "support/dev_server.h"
#include "support/loopback_listener.h"

namespace engine_test {

// The answer of POST /v1/acquire (only the members the tests read).
struct LeaseReply {
  char *key;
  char *lease_id;
  char *txn_id;
  int64_t fencing_token;
  int64_t version;
};
extern const brindle_map lease_reply_map;

// The body of POST /v1/acquire, with optional members.
struct AcquireBody {
  char *ns;
  char *key;
  int64_t ttl_seconds;
  char *owner;
  int64_t block_seconds;
  int32_t has_block_seconds;
  int32_t if_not_exists;
  int32_t has_if_not_exists;
  char *txn_id;
};
extern const brindle_map acquire_body_map;

// An acquire body as JSON text.
std::string acquire_json(const std::string &key, int ttl_seconds = 30);

// Opens and closes one engine client.
class Client {
 public:
  Client() { sv_engine_client_config_init(&config); }
  ~Client() { sv_engine_client_close(client); }
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  // Opens with the endpoints given; returns the open status (message in open_message).
  int open(const std::vector<std::string> &endpoints);

  sv_engine_client_config config{};
  sv_engine_client *client = nullptr;
  std::string open_message;

 private:
  std::vector<std::string> endpoint_text_;
  std::vector<const char *> endpoint_pointers_;
};

// One exchange and everything it produced.
struct Call {
  int status = -1;
  sv_engine_http_result result{};
  sv_engine_error error{};
  LeaseReply reply{};
  Call() {
    sv_engine_http_result_init(&result);
    sv_engine_error_init(&error);
  }
  ~Call() {
    sv_engine_http_result_cleanup(&result);
    sv_engine_error_reset(&error);
    brindle_cleanup(&lease_reply_map, &reply);
  }
  Call(const Call &) = delete;
  Call &operator=(const Call &) = delete;
  std::string message() const { return error.message != nullptr ? error.message : "<null>"; }
};

// POST path with a JSON byte body (Content-Type: application/json), parsed as a lease reply.
void post_json(Call &call, const sv_engine_client *client, const std::string &path,
               const std::string &body, std::vector<sv_engine_header> headers = {});

// A loopback port that refuses connections (bound once, then closed).
int refused_port();

// A loopback socket that listens but never accepts: the kernel completes the TCP handshake and
// nothing is ever read or written. url() is "http://127.0.0.1:PORT".
using SilentListener = stavo::test::LoopbackListener;

// The trace events of the exchange, in order.
std::vector<std::string> http_events(LogCapture &capture);

}  // namespace engine_test

#endif
