#include "stream_fixture.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>

namespace engine_test {

stavo::test::DevServer *StreamTest::server_ = nullptr;

size_t StringReader::read(void *context, char *buffer, size_t capacity, sv_engine_error *error) {
  auto *reader = static_cast<StringReader *>(context);
  reader->largest_request = std::max(reader->largest_request, capacity);
  if (reader->position >= reader->fail_after) {
    if (reader->fail_with_abort) return CURL_READFUNC_ABORT;
    sv_engine_set_transport_error(error, "test reader failed");
    return 0;
  }
  size_t take = std::min(capacity, reader->data.size() - reader->position);
  if (reader->chunk != 0) take = std::min(take, reader->chunk);
  if (reader->fail_after != SIZE_MAX) take = std::min(take, reader->fail_after - reader->position);
  std::memcpy(buffer, reader->data.data() + reader->position, take);
  reader->position += take;
  return take;
}

int StringReader::reset(void *context, sv_engine_error *) {
  auto *reader = static_cast<StringReader *>(context);
  reader->position = 0;
  ++reader->resets;
  return SV_OK;
}

int StringWriter::write(void *context, const char *bytes, size_t length, sv_engine_error *error) {
  auto *writer = static_cast<StringWriter *>(context);
  if (writer->calls++ == writer->fail_at_call) {
    if (writer->fail_with_error) sv_engine_set_client_error(error, SV_ERR_NOMEM, "sink is full");
    return 0;
  }
  writer->largest_chunk = std::max(writer->largest_chunk, length);
  writer->data.append(bytes, length);
  return 1;
}

const char *pattern_at(uint64_t position) {
  static const std::string pattern = [] {
    std::string bytes(kPatternSpan + 251, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<char>(i % 251);
    return bytes;
  }();
  return pattern.data() + position % 251;
}

Lease acquire_lease(const sv_engine_client *client, const std::string &key) {
  Call call;
  post_json(call, client, "/v1/acquire", acquire_json(key));
  EXPECT_EQ(call.status, SV_OK) << call.message();
  EXPECT_EQ(call.result.status, 200);
  Lease lease;
  lease.lease_id = text(call.reply.lease_id);
  lease.txn_id = text(call.reply.txn_id);
  lease.fencing_token = call.reply.fencing_token;
  return lease;
}

std::vector<std::string> client_header_names(const stavo::test::LoggedRequest &request) {
  static const char *const transport[] = {
      "Host",       "User-Agent", "Content-Length", "Expect", "Transfer-Encoding",
      ":authority", ":method",    ":path",          ":scheme"};
  std::vector<std::string> names;
  for (const std::string &name : request.header_names()) {
    const bool skip = std::any_of(std::begin(transport), std::end(transport), [&](const char *t) {
      return stavo::devserver::header_name_equals(name, t);
    });
    if (!skip) names.push_back(name);
  }
  return names;
}

std::string text(const char *value) {
  return value != nullptr ? value : "<null>";
}

}  // namespace engine_test
