// Attachments through HTTP: upload, list, download by name or id, overwrite rules, limits,
// deletion, and public reads without a lease.
#include "helpers.h"

namespace stavo::test {
namespace {

class DevServerAttachments : public ::testing::Test {
 protected:
  void SetUp() override { lease_ = must_acquire(dev_, "k"); }

  HttpResponse upload(const std::string &name, const std::string &bytes,
                      const std::string &extra_query = "", bool chunked = true) {
    HttpRequest request;
    request.method = "POST";
    request.url =
        dev_.http_url() + "/v1/attachments?key=k&namespace=default&name=" + name + extra_query;
    request.body = bytes;
    request.chunked = chunked;
    request.headers = {{"Accept", "application/json"},
                       {"Content-Type", "application/octet-stream"},
                       {"Expect", ""}};
    for (auto &header : lease_.headers())
      request.headers.push_back(header);
    return http_request(request);
  }

  HttpResponse download(const std::string &selector, bool with_lease = true) {
    std::string url = dev_.http_url() + "/v1/attachment?key=k&namespace=default&" + selector;
    if (!with_lease) return http_get(url + "&public=1");
    return http_get(url, lease_.headers());
  }

  DevServer dev_;
  TestLease lease_;
};

TEST_F(DevServerAttachments, UploadListAndDownload) {
  std::string bytes(200000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i * 31 % 251);
  HttpResponse uploaded = upload("report.bin", bytes, "&content_type=application%2Fx-test");
  ASSERT_EQ(uploaded.status, 200) << uploaded.body;
  json body = body_of(uploaded);
  json info = body["attachment"];
  EXPECT_EQ(info["name"], "report.bin");
  EXPECT_EQ(info["size"], bytes.size());
  EXPECT_EQ(info["content_type"], "application/x-test");
  EXPECT_EQ(info["created_at_unix"], dev_.now_unix());
  EXPECT_EQ(info["plaintext_sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(body["noop"], false);
  EXPECT_EQ(body["version"], 0);

  json list = body_of(
      http_get(dev_.http_url() + "/v1/attachments?key=k&namespace=default", lease_.headers()));
  EXPECT_EQ(list["namespace"], "default");
  EXPECT_EQ(list["key"], "k");
  ASSERT_EQ(list["attachments"].size(), 1u);
  EXPECT_EQ(list["attachments"][0], info);

  for (const std::string &selector :
       std::vector<std::string>{"name=report.bin", "id=" + info["id"].get<std::string>()}) {
    HttpResponse got = download(selector);
    ASSERT_EQ(got.status, 200) << selector;
    EXPECT_EQ(got.body, bytes);
    EXPECT_EQ(got.header("Content-Type"), "application/x-test");
    EXPECT_EQ(got.header("X-Attachment-ID"), info["id"]);
    EXPECT_EQ(got.header("X-Attachment-Name"), "report.bin");
    EXPECT_EQ(got.header("X-Attachment-Size"), std::to_string(bytes.size()));
    EXPECT_EQ(got.header("X-Attachment-SHA256"), info["plaintext_sha256"]);
    EXPECT_EQ(got.header("X-Attachment-Created-At"), std::to_string(dev_.now_unix()));
    EXPECT_EQ(got.header("X-Attachment-Updated-At"), std::to_string(dev_.now_unix()));
  }
  EXPECT_EQ(dev_.state("k").attachments.size(), 1u);
}

TEST_F(DevServerAttachments, AnEmptyAttachmentDownloadsAsAnEmptyBodyWithItsLength) {
  ASSERT_EQ(upload("empty.bin", "").status, 200);
  HttpRequest request;
  request.url = dev_.http_url() + "/v1/attachment?key=k&namespace=default&name=empty.bin";
  request.headers = lease_.headers();
  request.timeout_ms = 5000;  // an answer without a length and an end would run into this
  HttpResponse got = http_request(request);
  ASSERT_EQ(got.curl_code, 0) << got.curl_error;
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(got.body, "");
  EXPECT_EQ(got.header("Content-Length"), "0");
  EXPECT_EQ(got.header("X-Attachment-Size"), "0");
}

TEST_F(DevServerAttachments, PublicReadsNeedNoLeaseOthersDo) {
  ASSERT_EQ(upload("a", "hello").status, 200);
  EXPECT_EQ(download("name=a", /*with_lease=*/false).body, "hello");
  EXPECT_EQ(http_get(dev_.http_url() + "/v1/attachments?key=k&public=1").status, 200);
  HttpResponse refused = http_get(dev_.http_url() + "/v1/attachment?key=k&name=a");
  EXPECT_EQ(refused.status, 409);
  EXPECT_EQ(error_code(refused), "lease_required");
  EXPECT_EQ(error_code(download("name=missing")), "attachment_not_found");
  EXPECT_EQ(error_code(download("")), "missing_selector");
}

TEST_F(DevServerAttachments, OverwriteRules) {
  json first = body_of(upload("a", "one"));
  std::string id = first["attachment"]["id"];
  // Same bytes again: nothing to do, even when overwriting is forbidden.
  json same = body_of(upload("a", "one", "&prevent_overwrite=1"));
  EXPECT_EQ(same["noop"], true);
  EXPECT_EQ(same["attachment"]["id"], id);

  HttpResponse exists = upload("a", "two", "&prevent_overwrite=1");
  EXPECT_EQ(exists.status, 409);
  EXPECT_EQ(error_code(exists), "attachment_exists");
  EXPECT_EQ(download("name=a").body, "one");

  dev_.advance_clock(std::chrono::seconds(5));
  json replaced = body_of(upload("a", "two"));
  EXPECT_EQ(replaced["noop"], false);
  EXPECT_EQ(replaced["attachment"]["id"], id);
  EXPECT_EQ(replaced["attachment"]["size"], 3);
  EXPECT_EQ(replaced["attachment"]["updated_at_unix"],
            first["attachment"]["created_at_unix"].get<int64_t>() + 5);
  EXPECT_EQ(download("name=a").body, "two");
}

TEST_F(DevServerAttachments, SizeLimits) {
  HttpResponse too_large = upload("big", std::string(11, 'x'), "&max_bytes=10");
  EXPECT_EQ(too_large.status, 413);
  EXPECT_EQ(error_code(too_large), "attachment_too_large");
  EXPECT_EQ(upload("fits", std::string(10, 'x'), "&max_bytes=10", false).status, 200);
  EXPECT_EQ(error_code(upload("bad", "x", "&max_bytes=ten")), "invalid_field");
  ASSERT_EQ(dev_.state("k").attachments.size(), 1u);
  EXPECT_EQ(dev_.state("k").attachments[0].name, "fits");
}

TEST_F(DevServerAttachments, DeleteOneAndAll) {
  ASSERT_EQ(upload("a", "1").status, 200);
  ASSERT_EQ(upload("b", "2").status, 200);
  ASSERT_EQ(upload("c", "3").status, 200);
  std::string base = dev_.http_url() + "/v1/attachment?key=k&namespace=default";
  json one = body_of(http_delete(base + "&name=a", lease_.headers()));
  EXPECT_EQ(one["deleted"], true);
  EXPECT_EQ(one["version"], 0);
  EXPECT_EQ(body_of(http_delete(base + "&name=a", lease_.headers()))["deleted"], false);
  EXPECT_EQ(error_code(http_delete(base + "&name=b")), "lease_required");
  json all = body_of(
      http_delete(dev_.http_url() + "/v1/attachments?key=k&namespace=default", lease_.headers()));
  EXPECT_EQ(all["deleted"], 2);
  EXPECT_TRUE(dev_.state("k").attachments.empty());
}

TEST_F(DevServerAttachments, UploadNeedsTheRightLease) {
  TestLease stale = lease_;
  stale.fencing_token = 9;
  std::swap(stale, lease_);
  EXPECT_EQ(error_code(upload("a", "x")), "fencing_mismatch");
  std::swap(stale, lease_);
  HttpResponse no_name = upload("", "x");
  EXPECT_EQ(no_name.status, 400);
  EXPECT_TRUE(dev_.state("k").attachments.empty());
}

}  // namespace
}  // namespace stavo::test
