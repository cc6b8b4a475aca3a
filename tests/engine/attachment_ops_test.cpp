// Attachments through the engine against the dev server: upload, list, download with the
// description from headers, delete one and all, the query order, and the two parse functions.
#include <string>

#include "stream_fixture.h"

namespace {

using engine_test::Error;
using engine_test::Lease;
using engine_test::StreamTest;
using engine_test::StringReader;
using engine_test::StringWriter;
using engine_test::text;
using stavo::test::Fault;

class AttachmentOps : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    open();
  }
  int attach(const Lease &lease, const std::string &key, const std::string &name,
             const std::string &bytes, sv_engine_attach_response *response, Error &error) {
    sv_engine_attach_request request{};
    request.key = key.c_str();
    request.lease_id = lease.lease_id.c_str();
    request.txn_id = lease.txn_id.c_str();
    request.fencing_token = lease.fencing_token;
    request.name = name.c_str();
    request.content_type = "text/plain";
    StringReader reader(bytes, 100);
    return sv_engine_client_attach_from(client_.client, &request, StringReader::read, &reader,
                                        response, &error);
  }
};

TEST_F(AttachmentOps, UploadListDownloadDelete) {
  const std::string key = "att key";
  const Lease lease = engine_test::acquire_lease(client_.client, key);
  const std::string bytes(1000, 'q');
  sv_engine_attach_response attached{};
  Error error;
  ASSERT_EQ(attach(lease, key, "notes.txt", bytes, &attached, error), SV_OK) << error.message();
  EXPECT_EQ(text(attached.name), "notes.txt");
  EXPECT_EQ(attached.size, 1000);
  EXPECT_EQ(text(attached.content_type), "text/plain");
  EXPECT_EQ(attached.noop, 0);
  ASSERT_NE(attached.id, nullptr);
  const std::string id = attached.id;
  EXPECT_EQ(text(attached.plaintext_sha256).size(), 64u);
  EXPECT_NE(attached.correlation_id, nullptr);
  auto upload = server_->requests().back();
  EXPECT_EQ(upload.body, bytes);
  EXPECT_EQ(engine_test::client_header_names(upload),
            (std::vector<std::string>{"Accept", "Content-Type", "X-Lease-ID", "X-Txn-ID",
                                      "X-Fencing-Token"}));
  // The same bytes again are a no-op.
  ASSERT_EQ(attach(lease, key, "notes.txt", bytes, &attached, error), SV_OK);
  EXPECT_EQ(attached.noop, 1);
  ASSERT_EQ(attach(lease, key, "b.bin", "bb", &attached, error), SV_OK);

  sv_engine_list_attachments_request list{};
  list.key = key.c_str();
  list.lease_id = lease.lease_id.c_str();
  list.txn_id = lease.txn_id.c_str();
  list.fencing_token = lease.fencing_token;
  sv_engine_list_attachments_response listed{};
  ASSERT_EQ(sv_engine_client_list_attachments(client_.client, &list, &listed, &error), SV_OK)
      << error.message();
  ASSERT_EQ(listed.count, 2u);
  EXPECT_EQ(text(listed.key), key);
  EXPECT_EQ(text(listed.namespace_name), "default");
  EXPECT_EQ(text(listed.attachments[0].name), "b.bin");
  EXPECT_EQ(listed.attachments[1].size, 1000);
  EXPECT_EQ(server_->requests().back().target, "/v1/attachments?key=att%20key&namespace=default");
  // Accept is libcurl's default ("*/*") on the plain exchange.
  EXPECT_EQ(engine_test::client_header_names(server_->requests().back()),
            (std::vector<std::string>{"Accept", "X-Lease-ID", "X-Txn-ID", "X-Fencing-Token"}));
  sv_engine_list_attachments_response_cleanup(&listed);

  sv_engine_get_attachment_request get{};
  get.key = key.c_str();
  get.lease_id = lease.lease_id.c_str();
  get.txn_id = lease.txn_id.c_str();
  get.selector.id = id.c_str();
  StringWriter writer;
  sv_engine_get_attachment_response got{};
  ASSERT_EQ(sv_engine_client_get_attachment_into(client_.client, &get, StringWriter::write, &writer,
                                                 &got, &error),
            SV_OK)
      << error.message();
  EXPECT_EQ(writer.data, bytes);
  EXPECT_EQ(text(got.id), id);
  EXPECT_EQ(text(got.name), "notes.txt");
  EXPECT_EQ(got.size, 1000);
  EXPECT_EQ(text(got.content_type), "text/plain");
  EXPECT_EQ(text(got.plaintext_sha256).size(), 64u);
  EXPECT_EQ(got.created_at_unix, server_->now_unix());
  EXPECT_EQ(got.updated_at_unix, server_->now_unix());
  EXPECT_EQ(server_->requests().back().target,
            "/v1/attachment?key=att%20key&namespace=default&id=" + id);
  EXPECT_EQ(server_->requests().back().header("Accept").value_or(""), "application/octet-stream");
  sv_engine_get_attachment_response_cleanup(&got);

  sv_engine_delete_attachment_request remove{};
  remove.key = key.c_str();
  remove.lease_id = lease.lease_id.c_str();
  remove.txn_id = lease.txn_id.c_str();
  remove.selector.name = "notes.txt";
  sv_engine_delete_attachment_response removed{};
  ASSERT_EQ(sv_engine_client_delete_attachment(client_.client, &remove, &removed, &error), SV_OK)
      << error.message();
  EXPECT_EQ(removed.deleted, 1);
  EXPECT_EQ(server_->requests().back().method, "DELETE");
  EXPECT_EQ(server_->requests().back().target,
            "/v1/attachment?key=att%20key&namespace=default&name=notes.txt");
  sv_engine_delete_attachment_response_cleanup(&removed);

  sv_engine_delete_all_attachments_request all{};
  all.key = key.c_str();
  all.lease_id = lease.lease_id.c_str();
  all.txn_id = lease.txn_id.c_str();
  sv_engine_delete_all_attachments_response cleared{};
  ASSERT_EQ(sv_engine_client_delete_all_attachments(client_.client, &all, &cleared, &error), SV_OK);
  EXPECT_EQ(cleared.deleted, 1);
  EXPECT_TRUE(server_->state(key).attachments.empty());
  sv_engine_delete_all_attachments_response_cleanup(&cleared);
  sv_engine_attach_response_cleanup(&attached);
}

TEST_F(AttachmentOps, UploadQueryKeepsItsOrder) {
  const Lease lease = engine_test::acquire_lease(client_.client, "q&k");
  sv_engine_attach_request request{};
  request.key = "q&k";
  request.namespace_name = "default";
  request.lease_id = lease.lease_id.c_str();
  request.txn_id = lease.txn_id.c_str();
  request.name = "a b";
  request.content_type = "text/plain";
  request.prevent_overwrite = 1;
  request.max_bytes = 10;
  request.has_max_bytes = 1;
  StringReader reader("0123456789ABC");  // over max_bytes
  sv_engine_attach_response response{};
  Error error;
  EXPECT_EQ(sv_engine_client_attach_from(client_.client, &request, StringReader::read, &reader,
                                         &response, &error),
            SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 413);
  EXPECT_EQ(server_->requests().back().target,
            "/v1/attachments?key=q%26k&namespace=default&name=a%20b&content_type=text%2Fplain&"
            "prevent_overwrite=1&max_bytes=10");
}

TEST_F(AttachmentOps, DownloadFailuresAndArgumentChecks) {
  const Lease lease = engine_test::acquire_lease(client_.client, "dl");
  sv_engine_attach_response attached{};
  Error error;
  ASSERT_EQ(attach(lease, "dl", "x", "xyz", &attached, error), SV_OK);
  sv_engine_attach_response_cleanup(&attached);

  sv_engine_get_attachment_request get{};
  get.key = "dl";
  get.public_read = 1;
  get.selector.name = "x";
  server_->add_fault(Fault::with_headers("GET", "/v1/attachment", {{"X-Attachment-Size", "big"}}));
  StringWriter writer;
  sv_engine_get_attachment_response got{};
  EXPECT_EQ(sv_engine_client_get_attachment_into(client_.client, &get, StringWriter::write, &writer,
                                                 &got, &error),
            SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "attachment size is out of range");
  EXPECT_EQ(writer.calls, 0);
  server_->add_fault(
      Fault::with_headers("GET", "/v1/attachment", {{"X-Attachment-Created-At", "-"}}));
  EXPECT_EQ(sv_engine_client_get_attachment_into(client_.client, &get, StringWriter::write, &writer,
                                                 &got, &error),
            SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "attachment created_at is out of range");

  get.selector.name = "missing";
  EXPECT_EQ(sv_engine_client_get_attachment_into(client_.client, &get, StringWriter::write, &writer,
                                                 &got, &error),
            SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 404);
  EXPECT_EQ(text(error.record.server_error_code), "attachment_not_found");
  EXPECT_EQ(writer.calls, 0);

  get.selector.name = nullptr;
  EXPECT_EQ(sv_engine_client_get_attachment_into(client_.client, &get, StringWriter::write, &writer,
                                                 &got, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "get_attachment_into requires selector id or name");
  get.selector.name = "x";
  get.public_read = 0;
  EXPECT_EQ(sv_engine_client_get_attachment_into(client_.client, &get, StringWriter::write, &writer,
                                                 &got, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(),
            "get_attachment_into requires lease_id and txn_id unless public_read is enabled");

  sv_engine_list_attachments_request list{};
  list.key = "dl";
  sv_engine_list_attachments_response listed{};
  EXPECT_EQ(sv_engine_client_list_attachments(client_.client, &list, &listed, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(),
            "list_attachments requires lease_id and txn_id unless public_read is enabled");
  list.public_read = 1;
  ASSERT_EQ(sv_engine_client_list_attachments(client_.client, &list, &listed, &error), SV_OK);
  EXPECT_EQ(listed.count, 1u);
  EXPECT_EQ(server_->requests().back().target, "/v1/attachments?key=dl&namespace=default&public=1");
  EXPECT_EQ(engine_test::client_header_names(server_->requests().back()),
            std::vector<std::string>{"Accept"});
  sv_engine_list_attachments_response_cleanup(&listed);

  sv_engine_attach_request attach_request{};
  attach_request.key = "dl";
  attach_request.name = "y";
  sv_engine_attach_response response{};
  StringReader reader("y");
  EXPECT_EQ(sv_engine_client_attach_from(client_.client, &attach_request, StringReader::read,
                                         &reader, &response, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(),
            "attach_from requires client, request, reader, response, error, key, name, lease_id, "
            "and txn_id");
  sv_engine_delete_all_attachments_request all{};
  all.key = "dl";
  sv_engine_delete_all_attachments_response cleared{};
  EXPECT_EQ(sv_engine_client_delete_all_attachments(client_.client, &all, &cleared, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(),
            "delete_all_attachments requires client, request, response, error, key, lease_id, "
            "and txn_id");

  // A deleted count that does not fit int32 is refused.
  server_->add_fault(
      Fault::respond("DELETE", "/v1/attachments", 200, "{\"deleted\":4294967296,\"version\":1}"));
  all.lease_id = lease.lease_id.c_str();
  all.txn_id = lease.txn_id.c_str();
  EXPECT_EQ(sv_engine_client_delete_all_attachments(client_.client, &all, &cleared, &error),
            SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "delete attachments deleted count is out of range");
}

TEST(AttachmentParse, ParseFunctionsFillTheRecords) {
  sv_engine_attach_response attached{};
  Error error;
  ASSERT_EQ(sv_engine_parse_attach_response_json(
                "{\"attachment\":{\"id\":\"a1\",\"name\":\"n\",\"size\":3,\"plaintext_sha256\":"
                "\"s\",\"content_type\":\"t\",\"created_at_unix\":5,\"updated_at_unix\":6},"
                "\"noop\":true,\"version\":9}",
                "cid-1", &attached, &error),
            SV_OK)
      << error.message();
  EXPECT_EQ(text(attached.id), "a1");
  EXPECT_EQ(attached.size, 3);
  EXPECT_EQ(attached.updated_at_unix, 6);
  EXPECT_EQ(attached.noop, 1);
  EXPECT_EQ(attached.version, 9);
  EXPECT_EQ(text(attached.correlation_id), "cid-1");
  EXPECT_EQ(sv_engine_parse_attach_response_json("{\"noop\":", nullptr, &attached, &error),
            SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "failed to parse attach response");
  EXPECT_EQ(attached.id, nullptr);
  EXPECT_EQ(sv_engine_parse_attach_response_json(nullptr, nullptr, &attached, &error),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "parse_attach_response_json requires json, response, and error");

  sv_engine_list_attachments_response listed{};
  ASSERT_EQ(sv_engine_parse_list_attachments_response_json(
                "{\"namespace\":\"ns\",\"key\":\"k\",\"attachments\":[{\"id\":\"1\"},{\"id\":"
                "\"2\",\"size\":7}]}",
                nullptr, &listed, &error),
            SV_OK);
  ASSERT_EQ(listed.count, 2u);
  EXPECT_EQ(text(listed.attachments[1].id), "2");
  EXPECT_EQ(listed.attachments[1].size, 7);
  EXPECT_EQ(listed.correlation_id, nullptr);
  EXPECT_EQ(sv_engine_parse_list_attachments_response_json("[]", nullptr, &listed, &error),
            SV_ERR_PROTOCOL);
  EXPECT_EQ(error.message(), "failed to parse list_attachments response");
  EXPECT_EQ(listed.count, 0u);
  sv_engine_list_attachments_response_cleanup(&listed);
  sv_engine_attach_response_cleanup(&attached);
}

TEST(AttachmentQuery, BuilderEncodesEveryValue) {
  sv_engine_buffer buffer{};
  sv_engine_attachment_selector selector{"id 1", "sel&name"};
  Error error;
  ASSERT_EQ(sv_engine_attachment_build_query(&buffer, "/v1/attachment", "n s", "k", &selector, 1,
                                             nullptr, nullptr, 0, 0, 0, &error),
            SV_OK);
  EXPECT_EQ(std::string(buffer.data),
            "/v1/attachment?key=k&namespace=n%20s&name=sel%26name&id=id%201&public=1");
  sv_engine_buffer_cleanup(&buffer);
}

}  // namespace
