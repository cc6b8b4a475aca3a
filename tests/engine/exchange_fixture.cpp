#include "exchange_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>

namespace engine_test {

namespace {

const brindle_field lease_reply_fields[] = {
    BRINDLE_DECL_STRING(LeaseReply, key, "key", 0),
    BRINDLE_DECL_STRING(LeaseReply, lease_id, "lease_id", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(LeaseReply, txn_id, "txn_id", 0),
    BRINDLE_DECL_I64(LeaseReply, fencing_token, "fencing_token", 0),
    BRINDLE_DECL_I64(LeaseReply, version, "version", 0),
};

const brindle_field acquire_body_fields[] = {
    BRINDLE_DECL_STRING(AcquireBody, ns, "namespace", 0),
    BRINDLE_DECL_STRING(AcquireBody, key, "key", 0),
    BRINDLE_DECL_I64(AcquireBody, ttl_seconds, "ttl_seconds", 0),
    BRINDLE_DECL_STRING(AcquireBody, owner, "owner", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_PRESENT(AcquireBody, block_seconds, "block_seconds", BRINDLE_FIELD_I64, 0,
                         has_block_seconds),
    BRINDLE_DECL_PRESENT(AcquireBody, if_not_exists, "if_not_exists", BRINDLE_FIELD_BOOL, 0,
                         has_if_not_exists),
    BRINDLE_DECL_STRING(AcquireBody, txn_id, "txn_id", BRINDLE_FIELD_OMIT_NULL),
};

}  // namespace

const brindle_map lease_reply_map = BRINDLE_MAP("lease_reply_json", LeaseReply, lease_reply_fields);
const brindle_map acquire_body_map =
    BRINDLE_MAP("acquire_body_request", AcquireBody, acquire_body_fields);

std::string acquire_json(const std::string &key, int ttl_seconds) {
  return "{\"key\":\"" + key + "\",\"ttl_seconds\":" + std::to_string(ttl_seconds) + "}";
}

int Client::open(const std::vector<std::string> &endpoints) {
  endpoint_text_ = endpoints;
  endpoint_pointers_.assign(endpoint_text_.size(), nullptr);
  for (size_t i = 0; i < endpoint_text_.size(); ++i)
    endpoint_pointers_[i] = endpoint_text_[i].c_str();
  config.endpoints = endpoint_pointers_.data();
  config.endpoint_count = endpoint_pointers_.size();
  sv_engine_error error;
  sv_engine_error_init(&error);
  const int status = sv_engine_client_open(&config, &client, &error);
  open_message = error.message != nullptr ? error.message : "";
  sv_engine_error_reset(&error);
  return status;
}

void post_json(Call &call, const sv_engine_client *client, const std::string &path,
               const std::string &body, std::vector<sv_engine_header> headers) {
  sv_engine_header all[8] = {{"Content-Type", "application/json"}};
  size_t count = 1;
  for (const sv_engine_header &header : headers) {
    if (count < 8) all[count++] = header;
  }
  call.status =
      sv_engine_http_json_request(client, "POST", path.c_str(), body.data(), body.size(), all,
                                  count, &lease_reply_map, &call.reply, &call.result, &call.error);
}

int refused_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    close(fd);
    return 1;
  }
  close(fd);  // never listened: connections are refused
  return ntohs(address.sin_port);
}

std::vector<std::string> http_events(LogCapture &capture) {
  std::vector<std::string> events;
  for (const std::string &message : capture.messages()) {
    if (message.rfind("client.http.", 0) == 0) events.push_back(message);
  }
  return events;
}

}  // namespace engine_test
