// Attachments beside a key: upload, list, download, delete one, delete all. The bytes live in
// files under the server's data directory, so large attachments never sit in memory.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "endpoints.h"
#include "lease_guard.h"
#include "util.h"

namespace stavo::devserver {

namespace {

json info_json(const AttachmentState &info) {
  return {{"id", info.id},
          {"name", info.name},
          {"size", info.size},
          {"plaintext_sha256", info.sha256},
          {"content_type", info.content_type},
          {"created_at_unix", info.created_at_unix},
          {"updated_at_unix", info.updated_at_unix}};
}

class FileStream : public BodyStream {
 public:
  FileStream(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileStream() override { ::close(fd_); }
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, char *out, size_t length) override {
    while (length > 0) {
      ssize_t n = ::pread(fd_, out, length, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      out += n;
      offset += static_cast<uint64_t>(n);
      length -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_;
};

// Lease checks for attachment calls: lease id required unless public; token and txn when given.
std::optional<Reply> guard(EndpointContext &ctx, const Call &call, Store::Lock &lock,
                           const std::string &ns, const std::string &key, bool allow_public,
                           KeyRecord *&record) {
  record = ctx.store.find(lock, ns, key);
  if (allow_public && call.flag("public")) return std::nullopt;
  Credentials credentials;
  if (auto f = read_credentials(call, false, credentials)) return f;
  return check_lease(record, credentials);
}

const StoredAttachment *select(const KeyRecord *record, const Call &call) {
  if (record == nullptr) return nullptr;
  auto id = call.param("id").value_or("");
  auto name = call.param("name").value_or("");
  for (const auto &[attachment_name, attachment] : record->attachments) {
    if (!id.empty() && attachment.info.id != id) continue;
    if (!name.empty() && attachment_name != name) continue;
    return &attachment;
  }
  return nullptr;
}

Reply upload(EndpointContext &ctx, Call &call) {
  std::string ns, key;
  if (auto f = key_from_query(call, ns, key)) return *f;
  std::string name = call.param("name").value_or("");
  if (name.empty()) return error_reply(400, "missing_field", "query parameter 'name' is required");
  uint64_t limit = ctx.options.attachment_limit;
  if (auto text = call.param("max_bytes")) {
    auto value = parse_i64(*text);
    if (!value || *value < 0) {
      return error_reply(400, "invalid_field", "'max_bytes' must be a non-negative integer");
    }
    limit = std::min<uint64_t>(limit, static_cast<uint64_t>(*value));
  }
  bool prevent_overwrite = call.flag("prevent_overwrite");
  std::string content_type = call.param("content_type").value_or("");
  if (content_type.empty()) {
    content_type = call.header("Content-Type").value_or("application/octet-stream");
  }
  KeyRecord *record = nullptr;
  {
    auto lock = ctx.store.lock();
    if (auto f = guard(ctx, call, lock, ns, key, false, record)) return *f;
  }

  std::string file = ctx.store.new_attachment_file();
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return error_reply(500, "storage_failed", "cannot create attachment file");
  Sha256 hash;
  uint64_t size = 0;
  bool write_failed = false;
  bool ok = call.read_body([&](const char *data, size_t length) {
    size += length;
    if (size > limit || write_failed) return true;  // drain the rest, answer afterwards
    hash.update(data, length);
    while (length > 0) {
      ssize_t n = ::write(fd, data, length);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        write_failed = true;
        break;
      }
      data += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  });
  ::close(fd);
  auto discard = [&](Reply reply) {
    ctx.store.remove_file(file);
    return reply;
  };
  if (!ok) return discard(error_reply(400, "body_read_failed", "the upload could not be read"));
  if (size > limit) {
    return discard(error_reply(413, "attachment_too_large",
                               "attachment exceeds " + std::to_string(limit) + " bytes"));
  }
  if (write_failed) return discard(error_reply(500, "storage_failed", "cannot store attachment"));
  std::string digest = hash.hex_digest();

  auto lock = ctx.store.lock();
  if (auto f = guard(ctx, call, lock, ns, key, false, record)) return discard(*f);
  int64_t now = unix_seconds(ctx.store.clock().now_ms());
  auto existing = record->attachments.find(name);
  bool noop = false;
  if (existing != record->attachments.end()) {
    StoredAttachment &current = existing->second;
    if (current.info.sha256 == digest && current.info.size == size) {
      noop = true;
      ctx.store.remove_file(file);
    } else if (prevent_overwrite) {
      return discard(error_reply(409, "attachment_exists",
                                 "an attachment named '" + name + "' already exists"));
    } else {
      ctx.store.remove_file(current.file);
      current.file = file;
      current.info.sha256 = digest;
      current.info.size = size;
      current.info.content_type = content_type;
      current.info.updated_at_unix = now;
    }
  } else {
    StoredAttachment created;
    created.info.id = "att-" + random_hex(8);
    created.info.name = name;
    created.info.content_type = content_type;
    created.info.sha256 = digest;
    created.info.size = size;
    created.info.created_at_unix = now;
    created.info.updated_at_unix = now;
    created.file = file;
    existing = record->attachments.emplace(name, std::move(created)).first;
  }
  json out = {{"attachment", info_json(existing->second.info)},
              {"noop", noop},
              {"version", record->view_version()}};
  return json_reply(out);
}

Reply list(EndpointContext &ctx, Call &call) {
  std::string ns, key;
  if (auto f = key_from_query(call, ns, key)) return *f;
  auto lock = ctx.store.lock();
  KeyRecord *record = nullptr;
  if (auto f = guard(ctx, call, lock, ns, key, true, record)) return *f;
  json items = json::array();
  if (record != nullptr) {
    for (const auto &[name, attachment] : record->attachments) {
      items.push_back(info_json(attachment.info));
    }
  }
  return json_reply({{"namespace", ns}, {"key", key}, {"attachments", items}});
}

Reply download(EndpointContext &ctx, Call &call) {
  std::string ns, key;
  if (auto f = key_from_query(call, ns, key)) return *f;
  if (call.param("id").value_or("").empty() && call.param("name").value_or("").empty()) {
    return error_reply(400, "missing_selector", "an attachment 'id' or 'name' is required");
  }
  auto lock = ctx.store.lock();
  KeyRecord *record = nullptr;
  if (auto f = guard(ctx, call, lock, ns, key, true, record)) return *f;
  const StoredAttachment *attachment = select(record, call);
  if (attachment == nullptr) {
    return error_reply(404, "attachment_not_found", "no such attachment");
  }
  // Opened under the lock: a later replace or delete unlinks the file but this answer keeps it.
  int fd = ::open(attachment->file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return error_reply(500, "storage_failed", "cannot open attachment file");
  const AttachmentState &info = attachment->info;
  Reply reply;
  reply.stream = std::make_shared<FileStream>(fd, info.size);
  reply.set_header("Content-Type", info.content_type);
  reply.set_header("X-Attachment-ID", info.id);
  reply.set_header("X-Attachment-Name", info.name);
  reply.set_header("X-Attachment-Size", std::to_string(info.size));
  reply.set_header("X-Attachment-SHA256", info.sha256);
  reply.set_header("X-Attachment-Created-At", std::to_string(info.created_at_unix));
  reply.set_header("X-Attachment-Updated-At", std::to_string(info.updated_at_unix));
  return reply;
}

Reply delete_one(EndpointContext &ctx, Call &call) {
  std::string ns, key;
  if (auto f = key_from_query(call, ns, key)) return *f;
  if (call.param("id").value_or("").empty() && call.param("name").value_or("").empty()) {
    return error_reply(400, "missing_selector", "an attachment 'id' or 'name' is required");
  }
  auto lock = ctx.store.lock();
  KeyRecord *record = nullptr;
  if (auto f = guard(ctx, call, lock, ns, key, false, record)) return *f;
  const StoredAttachment *attachment = select(record, call);
  bool deleted = attachment != nullptr;
  if (deleted) {
    ctx.store.remove_file(attachment->file);
    record->attachments.erase(attachment->info.name);
  }
  return json_reply({{"deleted", deleted}, {"version", record->view_version()}});
}

Reply delete_all(EndpointContext &ctx, Call &call) {
  std::string ns, key;
  if (auto f = key_from_query(call, ns, key)) return *f;
  auto lock = ctx.store.lock();
  KeyRecord *record = nullptr;
  if (auto f = guard(ctx, call, lock, ns, key, false, record)) return *f;
  int64_t count = static_cast<int64_t>(record->attachments.size());
  for (auto &[name, attachment] : record->attachments)
    ctx.store.remove_file(attachment.file);
  record->attachments.clear();
  return json_reply({{"deleted", count}, {"version", record->view_version()}});
}

}  // namespace

void add_attachment_endpoints(Routes &routes, EndpointContext &ctx) {
  routes.push_back({"POST", "/v1/attachments", [&ctx](Call &call) { return upload(ctx, call); }});
  routes.push_back({"GET", "/v1/attachments", [&ctx](Call &call) { return list(ctx, call); }});
  routes.push_back({"GET", "/v1/attachment", [&ctx](Call &call) { return download(ctx, call); }});
  routes.push_back(
      {"DELETE", "/v1/attachment", [&ctx](Call &call) { return delete_one(ctx, call); }});
  routes.push_back(
      {"DELETE", "/v1/attachments", [&ctx](Call &call) { return delete_all(ctx, call); }});
}

}  // namespace stavo::devserver
