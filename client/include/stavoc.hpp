/**
 * @file stavoc.hpp
 * @brief The C++17 interface of libstavoc: move-only handles, string views in, strings and
 * optionals out, exceptions or status records, and any callable as a handler.
 *
 * Header-only, over the C API of stavoc.h alone (it adds no symbol to the library):
 *
 * @code
 *   stavo::ClientOptions options;
 *   options.endpoints = {"https://stavo.example:9341"};
 *   options.client_bundle_path = "/etc/stavo/client.pem";
 *   stavo::Client client(options);
 *   stavo::AcquireOptions acquire;
 *   acquire.owner = "worker-1";
 *   stavo::Lease lease = client.acquire("orders/42", acquire);
 *   lease.update("{\"status\":\"paid\"}");
 *   lease.release();  // a lease that goes out of scope unreleased is rolled back
 * @endcode
 *
 * Errors: every operation throws stavo::Error, which carries every member of sv_error. Each
 * one also has an overload whose last parameter is a stavo::Status&: it never throws, fills
 * the status and returns an empty value on failure. Handlers may throw; the exception is turned
 * into a failure of the C call (a stavo::Error keeps its code, anything else is
 * SV_ERR_INVALID with the exception's text) and never crosses into the C library.
 */
#ifndef STAVOC_HPP
#define STAVOC_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "stavoc.h"

/** The C++ interface of libstavoc. */
namespace stavo {

// ---- Errors --------------------------------------------------------------------------------

/** A copy of every member of an sv_error, as thrown by the throwing overloads. */
class Error : public std::runtime_error {
 public:
  /** Copies every member of error (NULL strings become empty ones). */
  explicit Error(const sv_error &error)
      : std::runtime_error(text(error.message)),
        code_(error.code),
        http_status_(error.http_status),
        detail_(text(error.detail)),
        server_error_code_(text(error.server_error_code)),
        correlation_id_(text(error.correlation_id)),
        retry_after_seconds_(error.retry_after_seconds),
        current_version_(error.current_version),
        current_etag_(text(error.current_etag)),
        leader_endpoint_(text(error.leader_endpoint)),
        transport_cause_(error.transport_cause) {}
  /** A library-side failure with a code and a message only. */
  Error(int code, const std::string &message) : std::runtime_error(message), code_(code) {}

  /** The SV_* status. */
  int code() const noexcept { return code_; }
  /** HTTP status of a server failure, 0 otherwise. */
  int64_t http_status() const noexcept { return http_status_; }
  /** The human-readable message (also what()). */
  std::string message() const { return what(); }
  /** The server's detail text, empty when none. */
  const std::string &detail() const noexcept { return detail_; }
  /** The "error" member of the server's error body, empty when none. */
  const std::string &server_error_code() const noexcept { return server_error_code_; }
  /** The correlation id of the failed request, empty when none. */
  const std::string &correlation_id() const noexcept { return correlation_id_; }
  /** Seconds the server asks to wait before a retry, 0 when none. */
  int64_t retry_after_seconds() const noexcept { return retry_after_seconds_; }
  /** The current version of a conflicting state, 0 when none. */
  int64_t current_version() const noexcept { return current_version_; }
  /** The current ETag of a conflicting state, empty when none. */
  const std::string &current_etag() const noexcept { return current_etag_; }
  /** The leader to talk to, empty when none. */
  const std::string &leader_endpoint() const noexcept { return leader_endpoint_; }
  /** What a transport failure was (an sv_transport_cause), 0 otherwise. */
  int32_t transport_cause() const noexcept { return transport_cause_; }

 private:
  static std::string text(const char *value) { return value != nullptr ? value : ""; }
  int code_ = SV_OK;
  int64_t http_status_ = 0;
  std::string detail_;
  std::string server_error_code_;
  std::string correlation_id_;
  int64_t retry_after_seconds_ = 0;
  int64_t current_version_ = 0;
  std::string current_etag_;
  std::string leader_endpoint_;
  int32_t transport_cause_ = 0;
};

/** The outcome of a non-throwing call: an owned sv_error, SV_OK until a call fails. */
class Status {
 public:
  Status() noexcept { sv_error_init(&error_); }
  ~Status() { sv_error_cleanup(&error_); }
  Status(const Status &) = delete;
  Status &operator=(const Status &) = delete;

  /** True when the last call through this status succeeded. */
  bool ok() const noexcept { return error_.code == SV_OK; }
  /** True when ok(). */
  explicit operator bool() const noexcept { return ok(); }
  /** The SV_* status. */
  int code() const noexcept { return error_.code; }
  /** The message, empty when none. */
  std::string message() const { return error_.message != nullptr ? error_.message : ""; }
  /** The underlying record, for members this class does not name. */
  const sv_error &record() const noexcept { return error_; }
  /** The record to hand to a C function; clears what an earlier call left. */
  sv_error *reset() noexcept {
    sv_error_cleanup(&error_);
    return &error_;
  }
  /** Records a failure of the C++ layer itself. */
  void fail(int code, const char *message) noexcept {
    sv_error_set(&error_, code, 0, message, nullptr, nullptr, nullptr);
  }
  /** Throws an Error copied from this status when it is not ok(). */
  void raise() const {
    if (!ok()) throw Error(error_);
  }

 private:
  sv_error error_{};
};

namespace detail {

// NULL for an absent value; the views given to these must be NUL-terminated strings or come
// from std::string, which the wrappers below copy them into first.
inline const char *c_or_null(const std::string &text) {
  return text.empty() ? nullptr : text.c_str();
}
inline std::string owned(const char *text) {
  return text != nullptr ? text : "";
}
inline std::optional<std::string> optional_text(const char *text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

// Runs a non-throwing call and throws its failure.
template <typename Call>
auto throwing(Call &&call) {
  Status status;
  if constexpr (std::is_void_v<decltype(call(status))>) {
    call(status);
    status.raise();
  } else {
    auto result = call(status);
    status.raise();
    return result;
  }
}

// Turns an exception escaping a handler into the C callback's error record and status.
inline int failure_from_current_exception(sv_error *error) noexcept {
  try {
    throw;
  } catch (const Error &failure) {
    return sv_error_set(error, failure.code() != SV_OK ? failure.code() : SV_ERR_INVALID,
                        failure.http_status(), failure.what(), nullptr, nullptr, nullptr);
  } catch (const std::bad_alloc &) {
    return sv_error_set(error, SV_ERR_NOMEM, 0, "handler ran out of memory", nullptr, nullptr,
                        nullptr);
  } catch (const std::exception &failure) {
    return sv_error_set(error, SV_ERR_INVALID, 0, failure.what(), nullptr, nullptr, nullptr);
  } catch (...) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "handler threw an unknown exception", nullptr,
                        nullptr, nullptr);
  }
}

// Runs body inside a C callback: the body's status, or the failure of what it threw.
template <typename Body>
int guarded(sv_error *error, Body &&body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure_from_current_exception(error);
  }
}

// Result records that clean up with their scope.
template <typename Record, void (*Cleanup)(Record *)>
struct Result {
  Record record{};
  Result() = default;
  ~Result() { Cleanup(&record); }
  Result(const Result &) = delete;
  Result &operator=(const Result &) = delete;
  Record *get() { return &record; }
};

// The one owning handle of the move-only types: frees with Close (which accepts NULL), moves
// leave the source NULL, and it converts to the raw handle for the C calls.
template <typename T, void (*Close)(T *)>
class Owned {
 public:
  Owned() = default;
  explicit Owned(T *handle) noexcept : handle_(handle) {}
  ~Owned() { Close(handle_); }
  Owned(Owned &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Owned &operator=(Owned &&other) noexcept {
    if (this != &other) {
      Close(handle_);
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  operator T *() const noexcept { return handle_; }
  T *operator->() const noexcept { return handle_; }
  // For a C function that writes a new handle: frees the current one first.
  T **out() noexcept {
    Close(std::exchange(handle_, nullptr));
    return &handle_;
  }
  T *release() noexcept { return std::exchange(handle_, nullptr); }

 private:
  T *handle_ = nullptr;
};

// An owning form of a non-owning handle class Ref (whose handle member is handle_).
template <typename Ref, typename T, void (*Close)(T *)>
class Owning : public Ref {
 public:
  Owning() = default;
  /** Takes ownership of handle. */
  explicit Owning(T *handle) noexcept : Ref(handle) {}
  ~Owning() { Close(this->handle_); }
  /** Takes other's handle; other is left empty. */
  Owning(Owning &&other) noexcept : Ref(std::exchange(other.handle_, nullptr)) {}
  /** Gives up the current handle, then takes other's; other is left empty. */
  Owning &operator=(Owning &&other) noexcept {
    if (this != &other) {
      Close(this->handle_);
      this->handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Owning(const Owning &) = delete;
  Owning &operator=(const Owning &) = delete;
};

// What a Lease does with a lease it still holds when it goes: roll back and release, or free
// the handle when the release fails (the server then lets the lease expire).
inline void abandon_lease(sv_lease *lease) noexcept {
  if (lease == nullptr) return;
  sv_release_req req;
  sv_release_req_init(&req);
  req.rollback = 1;
  if (sv_lease_release(lease, &req, nullptr) != SV_OK) sv_lease_close(lease);
}

}  // namespace detail

// ---- Sources and sinks -----------------------------------------------------------------------

/** A move-only byte source (an owned sv_source). */
class Source {
 public:
  Source() = default;
  /** Takes ownership of source. */
  explicit Source(sv_source *source) noexcept : source_(source) {}

  /** A rewindable source over a private copy of bytes. */
  static Source from_bytes(std::string_view bytes, Status &status) {
    sv_source *source = nullptr;
    sv_source_from_memory(bytes.data(), bytes.size(), &source, status.reset());
    return Source(source);
  }
  /** A rewindable source over a private copy of bytes. */
  static Source from_bytes(std::string_view bytes) {
    return detail::throwing([&](Status &status) { return from_bytes(bytes, status); });
  }
  /** A rewindable source over a private copy of a buffer of bytes (any contiguous range). */
  template <typename Buffer, typename = decltype(std::data(std::declval<const Buffer &>()) + 0)>
  static Source from_buffer(const Buffer &buffer) {
    static_assert(sizeof(*std::data(buffer)) == 1, "from_buffer takes a buffer of bytes");
    return from_bytes(
        std::string_view(reinterpret_cast<const char *>(std::data(buffer)), std::size(buffer)));
  }
  /** A rewindable source over the file at path. */
  static Source from_file(const std::string &path, Status &status) {
    sv_source *source = nullptr;
    sv_source_from_file(path.c_str(), &source, status.reset());
    return Source(source);
  }
  /** A rewindable source over the file at path. */
  static Source from_file(const std::string &path) {
    return detail::throwing([&](Status &status) { return from_file(path, status); });
  }
  /** A source reading stream, which must outlive the source; it rewinds by seeking to the
   * position the stream had when the source was made. */
  static Source from_stream(std::istream &stream, Status &status) {
    auto *state = new (std::nothrow) StreamState{&stream, stream.tellg()};
    if (state == nullptr) {
      status.fail(SV_ERR_NOMEM, "failed to allocate stream source");
      return Source();
    }
    sv_source *source = nullptr;
    if (sv_source_from_callbacks(&StreamState::read, &StreamState::reset, &StreamState::close,
                                 state, &source, status.reset()) != SV_OK) {
      delete state;
    }
    return Source(source);
  }
  /** A source reading stream (see the overload with a Status). */
  static Source from_stream(std::istream &stream) {
    return detail::throwing([&](Status &status) { return from_stream(stream, status); });
  }

  /** The handle, still owned. */
  sv_source *handle() const noexcept { return source_; }
  /** Gives up ownership. */
  sv_source *release() noexcept { return source_.release(); }
  /** True while the source holds a handle. */
  explicit operator bool() const noexcept { return source_ != nullptr; }

  /** Reads the rest of the source. */
  std::string read_all(Status &status) { return read_rest(source_, status); }
  /** Reads the rest of source, which stays its owner's. */
  static std::string read_rest(sv_source *source, Status &status) {
    std::string data;
    if (source == nullptr) {
      status.fail(SV_ERR_INVALID, "read_all requires source");
      return data;
    }
    sv_error *error = status.reset();
    char buffer[8192];
    for (;;) {
      const size_t count = source->read(source, buffer, sizeof buffer, error);
      if (count == 0) break;
      data.append(buffer, count);
    }
    return error->code == SV_OK ? data : std::string();
  }
  /** Reads the rest of the source. */
  std::string read_all() {
    return detail::throwing([&](Status &status) { return read_all(status); });
  }

 private:
  struct StreamState {
    std::istream *stream;
    std::istream::pos_type start;
    static size_t read(void *context, char *buffer, size_t capacity, sv_error *error) {
      auto *self = static_cast<StreamState *>(context);
      self->stream->read(buffer, static_cast<std::streamsize>(capacity));
      const auto count = self->stream->gcount();
      if (self->stream->bad()) {
        sv_error_set(error, SV_ERR_TRANSPORT, 0, "failed to read stream source", nullptr, nullptr,
                     nullptr);
        return 0;
      }
      return static_cast<size_t>(count);
    }
    static int reset(void *context, sv_error *error) {
      auto *self = static_cast<StreamState *>(context);
      self->stream->clear();
      if (self->start == std::istream::pos_type(-1) || !self->stream->seekg(self->start)) {
        return sv_error_set(error, SV_ERR_INVALID, 0, "stream source cannot be rewound", nullptr,
                            nullptr, nullptr);
      }
      return SV_OK;
    }
    static void close(void *context) { delete static_cast<StreamState *>(context); }
  };

  detail::Owned<sv_source, sv_source_close> source_;
};

/** A move-only byte sink (an owned sv_sink). */
class Sink {
 public:
  Sink() = default;
  /** Takes ownership of sink. */
  explicit Sink(sv_sink *sink) noexcept : sink_(sink) {}

  /** A sink collecting the bytes in memory (see bytes()). */
  static Sink to_memory(Status &status) {
    sv_sink *sink = nullptr;
    sv_sink_to_memory(&sink, status.reset());
    return Sink(sink);
  }
  /** A sink collecting the bytes in memory (see bytes()). */
  static Sink to_memory() {
    return detail::throwing([&](Status &status) { return to_memory(status); });
  }
  /** A sink into the file at path (created or truncated). */
  static Sink to_file(const std::string &path, Status &status) {
    sv_sink *sink = nullptr;
    sv_sink_to_file(path.c_str(), &sink, status.reset());
    return Sink(sink);
  }
  /** A sink into the file at path (created or truncated). */
  static Sink to_file(const std::string &path) {
    return detail::throwing([&](Status &status) { return to_file(path, status); });
  }
  /** A sink writing into stream, which must outlive the sink. */
  static Sink to_stream(std::ostream &stream, Status &status) {
    auto *state = new (std::nothrow) StreamSink{};
    if (state == nullptr) {
      status.fail(SV_ERR_NOMEM, "failed to allocate stream sink");
      return Sink();
    }
    state->base.write = &StreamSink::write;
    state->base.close = &StreamSink::close;
    state->stream = &stream;
    status.reset();
    return Sink(&state->base);
  }
  /** A sink writing into stream, which must outlive the sink. */
  static Sink to_stream(std::ostream &stream) {
    return detail::throwing([&](Status &status) { return to_stream(stream, status); });
  }

  /** The handle, still owned. */
  sv_sink *handle() const noexcept { return sink_; }
  /** True while the sink holds a handle. */
  explicit operator bool() const noexcept { return sink_ != nullptr; }
  /** The bytes a memory sink collected (a copy); empty for other sinks. */
  std::string bytes() const {
    const char *data = nullptr;
    size_t length = 0;
    if (sv_sink_memory_bytes(sink_, &data, &length) != 0 || data == nullptr) return {};
    return std::string(data, length);
  }

 private:
  struct StreamSink {
    sv_sink base;  // first, so the sv_sink pointer is the record's
    std::ostream *stream;
    static int write(sv_sink *sink, const char *bytes, size_t length, sv_error *error) {
      auto *self = reinterpret_cast<StreamSink *>(sink);
      if (!self->stream->write(bytes, static_cast<std::streamsize>(length))) {
        sv_error_set(error, SV_ERR_TRANSPORT, 0, "failed to write to stream sink", nullptr, nullptr,
                     nullptr);
        return 0;
      }
      return 1;
    }
    static void close(sv_sink *sink) { delete reinterpret_cast<StreamSink *>(sink); }
  };
  static_assert(std::is_standard_layout_v<StreamSink>, "the sink record must come first");

  detail::Owned<sv_sink, sv_sink_close> sink_;
};

// ---- Results ---------------------------------------------------------------------------------

/** What a read of a key's state reported beside the bytes. */
struct StateInfo {
  bool has_state = false;      ///< false: the key has no state (the bytes are empty)
  std::string content_type;    ///< the state's content type
  std::string etag;            ///< the state's ETag
  int64_t version = 0;         ///< the version of the state that was read
  int64_t fencing_token = 0;   ///< the current lease's fencing token, else the key's last
  std::string correlation_id;  ///< of the request
};

/** A key's state and what the read reported. */
struct State {
  StateInfo info;     ///< version, ETag, content type
  std::string bytes;  ///< the document, empty when there is none
};

/** The description of a key. */
struct KeyDescription {
  std::string namespace_name;             ///< the key's namespace
  std::string key;                        ///< the key
  std::optional<std::string> owner;       ///< while leased
  std::optional<std::string> lease_id;    ///< while leased
  int64_t version = 0;                    ///< the key's latest version
  int64_t expires_at_unix = 0;            ///< while leased: when the lease ends
  std::optional<std::string> state_etag;  ///< when the key has state
  bool has_metadata = false;              ///< query_hidden is known
  bool query_hidden = false;              ///< the key is hidden from queries
  std::string correlation_id;             ///< of the request
};

/** The description of one attachment. */
struct AttachmentInfo {
  std::string id;                ///< the server's id of the attachment
  std::string name;              ///< its name under the key
  int64_t size = 0;              ///< bytes
  std::string plaintext_sha256;  ///< hex SHA-256 of the bytes
  std::string content_type;      ///< as uploaded
  int64_t created_at_unix = 0;   ///< first upload
  int64_t updated_at_unix = 0;   ///< last upload
};

/** What a queue reported about itself. */
struct QueueStats {
  std::string namespace_name;                  ///< the queue's namespace
  std::string queue;                           ///< the queue
  int32_t waiting_consumers = 0;               ///< consumers waiting for a message now
  int32_t total_consumers = 0;                 ///< consumers connected
  bool available = false;                      ///< a message is visible now
  std::optional<std::string> head_message_id;  ///< the next message, when there is one
  int64_t messages = 0;                        ///< messages held, visible or not
  int64_t in_flight = 0;                       ///< of them, delivered to a consumer now
  int64_t dead_letters = 0;                    ///< messages moved aside after their last attempt
};

/** What an enqueue reported. */
struct EnqueueResult {
  std::string message_id;              ///< the new message's id
  int32_t attempts = 0;                ///< deliveries so far (0)
  int32_t max_attempts = 0;            ///< deliveries before it goes to the dead letters
  int64_t not_visible_until_unix = 0;  ///< when it becomes visible
  int64_t payload_bytes = 0;           ///< the payload's size
  std::string correlation_id;          ///< of the request
};

/** One change of a watched queue. */
struct WatchEvent {
  std::string namespace_name;                  ///< the queue's namespace
  std::string queue;                           ///< the queue
  bool available = false;                      ///< a message is visible
  std::optional<std::string> head_message_id;  ///< the next message, when there is one
  int64_t changed_at_unix = 0;                 ///< when the change happened
};

namespace detail {
inline StateInfo state_info(const sv_get_res &res) {
  return StateInfo{res.no_content == 0, owned(res.content_type), owned(res.etag),
                   res.version,         res.fencing_token,       owned(res.correlation_id)};
}
inline AttachmentInfo attachment_info(const sv_attachment_info &info) {
  return AttachmentInfo{owned(info.id),
                        owned(info.name),
                        info.size,
                        owned(info.plaintext_sha256),
                        owned(info.content_type),
                        info.created_at_unix,
                        info.updated_at_unix};
}
inline std::vector<const char *> c_strings(const std::vector<std::string> &texts) {
  std::vector<const char *> pointers;
  pointers.reserve(texts.size());
  for (const auto &text : texts)
    pointers.push_back(text.c_str());
  return pointers;
}
}  // namespace detail

// ---- Requests --------------------------------------------------------------------------------

/** Options of an acquire; the defaults are the C request's. */
struct AcquireOptions {
  std::string owner;           ///< required by the server
  int64_t ttl_seconds = 30;    ///< how long the lease runs without a keepalive
  int64_t block_seconds = 0;   ///< wait this long for a held lease
  bool if_not_exists = false;  ///< only acquire a key that has no state yet
  std::string txn_id;          ///< join this transaction (empty: none)
  std::string namespace_name;  ///< empty: the client's default namespace
};

/** Preconditions and content type of a lease's write. */
struct WriteOptions {
  std::optional<int64_t> if_version;  ///< empty: the lease's view version (when above 0)
  std::string if_state_etag;          ///< empty: none
  std::string content_type;           ///< empty: "application/json"
};

/** Options of a dequeue, a subscription or a consumer. */
struct DequeueOptions {
  std::string owner;                       ///< who holds the deliveries; required
  int64_t visibility_timeout_seconds = 0;  ///< 0: the queue's own
  int64_t wait_seconds = 0;                ///< how long to wait (negative: forever)
  int32_t page_size = 0;                   ///< messages per request (0: the default)
  std::string namespace_name;              ///< empty: the client's default namespace
};

/** Options of an enqueue. */
struct EnqueueOptions {
  int64_t delay_seconds = 0;               ///< invisible this long after the enqueue
  int64_t visibility_timeout_seconds = 0;  ///< 0: the server's default
  int64_t ttl_seconds = 0;                 ///< 0: no expiry
  int32_t max_attempts = 0;                ///< 0: the server's default
  std::string content_type;                ///< empty: "application/octet-stream"
  std::string namespace_name;              ///< empty: the client's default namespace
};

/** Options of an attachment upload. */
struct AttachOptions {
  std::string content_type;        ///< empty: "application/octet-stream"
  int64_t max_bytes = 0;           ///< 0: the server's limit
  bool prevent_overwrite = false;  ///< refuse to replace an attachment of the same name
};

/** Options of a key query. */
struct QueryOptions {
  int64_t limit = 0;           ///< below 1: no limit
  std::string cursor;          ///< continue after the page that returned this cursor
  std::string engine;          ///< "index" or "scan"; empty: the server's choice
  std::string refresh;         ///< "true", "false" or "wait_for"; empty: the server's default
  std::string namespace_name;  ///< empty: the client's default namespace
};

/** Paging data of a query page. */
struct QueryPage {
  std::optional<std::string> cursor;  ///< the next page, empty after the last
  std::string correlation_id;         ///< of the request
};

// ---- Leases ----------------------------------------------------------------------------------

/** The operations of a lease, over a handle this object does not own (a message's state lease,
 * the lease of acquire_for_update or a consumer delivery). Lease adds ownership. */
class LeaseRef {
 public:
  LeaseRef() = default;
  /** Refers to lease, which stays its owner's. */
  explicit LeaseRef(sv_lease *lease) noexcept : handle_(lease) {}

  /** The handle (NULL once released or moved from). */
  sv_lease *handle() const noexcept { return handle_; }
  /** True while there is a handle. */
  explicit operator bool() const noexcept { return handle_ != nullptr; }

  /** The leased key. */
  std::string key() const { return detail::owned(handle_ != nullptr ? handle_->key : nullptr); }
  /** The key's namespace. */
  std::string namespace_name() const {
    return detail::owned(handle_ != nullptr ? handle_->namespace_name : nullptr);
  }
  /** The lease's owner. */
  std::string owner() const { return detail::owned(handle_ != nullptr ? handle_->owner : nullptr); }
  /** The lease id. */
  std::string lease_id() const {
    return detail::owned(handle_ != nullptr ? handle_->lease_id : nullptr);
  }
  /** The lease's fencing token. */
  int64_t fencing_token() const noexcept { return handle_ != nullptr ? handle_->fencing_token : 0; }
  /** The key's version as of the last operation. */
  int64_t version() const noexcept { return handle_ != nullptr ? handle_->version : 0; }
  /** When the lease ends (0 until keepalive or describe reports it). */
  int64_t expires_at_unix() const noexcept {
    return handle_ != nullptr ? handle_->expires_at_unix : 0;
  }
  /** The state's ETag; empty when the key has no state. */
  std::optional<std::string> state_etag() const {
    return detail::optional_text(handle_ != nullptr ? handle_->state_etag : nullptr);
  }
  /** Refreshes the view from the server. */
  void describe(Status &status) { sv_lease_describe(handle_, status.reset()); }
  /** Refreshes the view from the server. */
  void describe() {
    detail::throwing([&](Status &status) { describe(status); });
  }

  /** Reads the key's state. */
  State get(Status &status) {
    State state;
    Sink sink = Sink::to_memory(status);
    if (!status) return state;
    detail::Result<sv_get_res, sv_get_res_cleanup> res;
    if (sv_lease_get(handle_, sink.handle(), nullptr, res.get(), status.reset()) != SV_OK)
      return state;
    state.info = detail::state_info(res.record);
    state.bytes = sink.bytes();
    return state;
  }
  /** Reads the key's state. */
  State get() {
    return detail::throwing([&](Status &status) { return get(status); });
  }
  /** Streams the key's state into sink. */
  StateInfo get(Sink &sink, Status &status) {
    detail::Result<sv_get_res, sv_get_res_cleanup> res;
    if (sv_lease_get(handle_, sink.handle(), nullptr, res.get(), status.reset()) != SV_OK)
      return {};
    return detail::state_info(res.record);
  }
  /** Streams the key's state into sink. */
  StateInfo get(Sink &sink) {
    return detail::throwing([&](Status &status) { return get(sink, status); });
  }

  /** Replaces the key's state with bytes. */
  void update(std::string_view bytes, const WriteOptions &options, Status &status) {
    Source source = Source::from_bytes(bytes, status);
    if (status) update(source, options, status);
  }
  /** Replaces the key's state with bytes. */
  void update(std::string_view bytes, const WriteOptions &options = {}) {
    detail::throwing([&](Status &status) { update(bytes, options, status); });
  }
  /** Replaces the key's state with the bytes of source. */
  void update(Source &source, const WriteOptions &options, Status &status) {
    sv_update_opts opts;
    sv_update_opts_init(&opts);
    opts.if_state_etag = detail::c_or_null(options.if_state_etag);
    opts.has_if_version = options.if_version.has_value() ? 1 : 0;
    opts.if_version = options.if_version.value_or(0);
    opts.content_type = detail::c_or_null(options.content_type);
    sv_lease_update(handle_, source.handle(), &opts, status.reset());
  }
  /** Replaces the key's state with the bytes of source. */
  void update(Source &source, const WriteOptions &options = {}) {
    detail::throwing([&](Status &status) { update(source, options, status); });
  }

  /** Applies mutation expressions on the server. */
  void mutate(const std::vector<std::string> &mutations, const WriteOptions &options,
              Status &status) {
    const auto expressions = detail::c_strings(mutations);
    sv_mutate_req req;
    sv_mutate_req_init(&req);
    req.mutations = expressions.data();
    req.mutation_count = expressions.size();
    req.if_state_etag = detail::c_or_null(options.if_state_etag);
    req.has_if_version = options.if_version.has_value() ? 1 : 0;
    req.if_version = options.if_version.value_or(0);
    sv_lease_mutate(handle_, &req, status.reset());
  }
  /** Applies mutation expressions on the server. */
  void mutate(const std::vector<std::string> &mutations, const WriteOptions &options = {}) {
    detail::throwing([&](Status &status) { mutate(mutations, options, status); });
  }

  /** Applies mutation expressions locally and uploads the result. */
  void mutate_local(const std::vector<std::string> &mutations, Status &status) {
    const auto expressions = detail::c_strings(mutations);
    sv_mutate_local_req req;
    sv_mutate_local_req_init(&req);
    req.mutations = expressions.data();
    req.mutation_count = expressions.size();
    sv_lease_mutate_local(handle_, &req, status.reset());
  }
  /** Applies mutation expressions locally and uploads the result. */
  void mutate_local(const std::vector<std::string> &mutations) {
    detail::throwing([&](Status &status) { mutate_local(mutations, status); });
  }

  /** Hides the key from queries, or shows it again. */
  void set_query_hidden(bool hidden, Status &status) {
    sv_metadata_req req;
    sv_metadata_req_init(&req);
    req.has_query_hidden = 1;
    req.query_hidden = hidden ? 1 : 0;
    sv_lease_metadata(handle_, &req, status.reset());
  }
  /** Hides the key from queries, or shows it again. */
  void set_query_hidden(bool hidden) {
    detail::throwing([&](Status &status) { set_query_hidden(hidden, status); });
  }

  /** Removes the key's state. */
  void remove(Status &status) { sv_lease_remove(handle_, nullptr, status.reset()); }
  /** Removes the key's state. */
  void remove() {
    detail::throwing([&](Status &status) { remove(status); });
  }

  /** Extends the lease by ttl_seconds. */
  void keepalive(int64_t ttl_seconds, Status &status) {
    sv_keepalive_req req;
    sv_keepalive_req_init(&req);
    req.ttl_seconds = ttl_seconds;
    sv_lease_keepalive(handle_, &req, status.reset());
  }
  /** Extends the lease by ttl_seconds. */
  void keepalive(int64_t ttl_seconds) {
    detail::throwing([&](Status &status) { keepalive(ttl_seconds, status); });
  }

  /** Stores bytes as the attachment name. */
  AttachmentInfo attach(std::string_view name, std::string_view bytes, const AttachOptions &options,
                        Status &status) {
    Source source = Source::from_bytes(bytes, status);
    if (!status) return {};
    return attach(name, source, options, status);
  }
  /** Stores bytes as the attachment name. */
  AttachmentInfo attach(std::string_view name, std::string_view bytes,
                        const AttachOptions &options = {}) {
    return detail::throwing([&](Status &status) { return attach(name, bytes, options, status); });
  }
  /** Stores the bytes of source as the attachment name. */
  AttachmentInfo attach(std::string_view name, Source &source, const AttachOptions &options,
                        Status &status) {
    const std::string name_text(name);
    sv_attach_req req;
    sv_attach_req_init(&req);
    req.name = name_text.c_str();
    req.content_type = detail::c_or_null(options.content_type);
    req.max_bytes = options.max_bytes;
    req.prevent_overwrite = options.prevent_overwrite ? 1 : 0;
    detail::Result<sv_attach_res, sv_attach_res_cleanup> res;
    if (sv_lease_attach(handle_, &req, source.handle(), res.get(), status.reset()) != SV_OK)
      return {};
    return detail::attachment_info(res.record.info);
  }
  /** Stores the bytes of source as the attachment name. */
  AttachmentInfo attach(std::string_view name, Source &source, const AttachOptions &options = {}) {
    return detail::throwing([&](Status &status) { return attach(name, source, options, status); });
  }

  /** Lists the key's attachments. */
  std::vector<AttachmentInfo> attachments(Status &status) {
    std::vector<AttachmentInfo> items;
    detail::Result<sv_attachment_list, sv_attachment_list_cleanup> list;
    if (sv_lease_list_attachments(handle_, list.get(), status.reset()) != SV_OK) return items;
    for (size_t i = 0; i < list.record.count; ++i)
      items.push_back(detail::attachment_info(list.record.items[i]));
    return items;
  }
  /** Lists the key's attachments. */
  std::vector<AttachmentInfo> attachments() {
    return detail::throwing([&](Status &status) { return attachments(status); });
  }

  /** Reads the attachment name; empty when it does not exist. */
  std::optional<std::string> attachment(std::string_view name, Status &status) {
    const std::string name_text(name);
    Sink sink = Sink::to_memory(status);
    if (!status) return std::nullopt;
    sv_attachment_get_req req;
    sv_attachment_get_req_init(&req);
    req.name = name_text.c_str();
    detail::Result<sv_attachment_get_res, sv_attachment_get_res_cleanup> res;
    if (sv_lease_get_attachment(handle_, &req, sink.handle(), res.get(), status.reset()) != SV_OK) {
      if (status.record().http_status == 404) status.reset();
      return std::nullopt;
    }
    return sink.bytes();
  }
  /** Reads the attachment name; empty when it does not exist. */
  std::optional<std::string> attachment(std::string_view name) {
    return detail::throwing([&](Status &status) { return attachment(name, status); });
  }

  /** Deletes the attachment name; true when it existed. */
  bool delete_attachment(std::string_view name, Status &status) {
    const std::string name_text(name);
    sv_attachment_selector selector;
    sv_attachment_selector_init(&selector);
    selector.name = name_text.c_str();
    int32_t deleted = 0;
    sv_lease_delete_attachment(handle_, &selector, &deleted, status.reset());
    return deleted != 0;
  }
  /** Deletes the attachment name; true when it existed. */
  bool delete_attachment(std::string_view name) {
    return detail::throwing([&](Status &status) { return delete_attachment(name, status); });
  }

 protected:
  sv_lease *handle_ = nullptr;  ///< the handle, not owned here
};

/** A lease this object owns. Its destructor rolls the staged writes back and releases the
 * lease, or frees the handle when the release fails (the server then lets the lease expire). */
class Lease : public detail::Owning<LeaseRef, sv_lease, detail::abandon_lease> {
 public:
  using Owning::Owning;

  /** Releases the lease, committing its staged writes (rollback: discarding them). On success
   * the object is empty; on failure it keeps the handle. */
  void release(bool rollback, Status &status) {
    sv_release_req req;
    sv_release_req_init(&req);
    req.rollback = rollback ? 1 : 0;
    if (sv_lease_release(handle_, &req, status.reset()) == SV_OK) handle_ = nullptr;
  }
  /** Releases the lease (see the overload with a Status). */
  void release(bool rollback = false) {
    detail::throwing([&](Status &status) { release(rollback, status); });
  }
  /** Frees the handle without a server call; the lease stays held until it expires. */
  void close() noexcept {
    sv_lease_close(handle_);
    handle_ = nullptr;
  }
};

// ---- Lease keeper ----------------------------------------------------------------------------

/** What the keeper reports about a lease it lost. */
struct LostLease {
  std::string namespace_name;  ///< the key's namespace
  std::string key;             ///< the key
  std::string lease_id;        ///< the lost lease
  Error error;                 ///< the refused renewal ("lease lost: ...")
};

/** Options of a lease keeper; zero members take the C keeper's defaults. */
struct KeeperOptions {
  double renew_fraction = 0;  ///< renew after this fraction of the TTL (0: one third)
  int64_t jitter_ms = 0;      ///< spread around each renewal (0: a tenth of the interval)
  int64_t retry_ms = 0;       ///< retry after a renewal without an answer (0: 1000)
  /** Called on the keeper's thread for a lost lease; must not throw (a throw is dropped). */
  std::function<void(const LostLease &)> on_lost;
};

/** A background thread that renews leases at about a third of their TTL (a move-only
 * sv_lease_keeper). A lost lease is reported to on_lost, and every later call on it throws its
 * failure (or fills the Status). Destroying the keeper stops it and hands the leases back as
 * ordinary ones; a kept Lease may also be released or destroyed at any time. */
class LeaseKeeper {
 public:
  /** Starts the keeper's thread. */
  explicit LeaseKeeper(KeeperOptions options = {}) {
    detail::throwing([&](Status &status) { open(std::move(options), status); });
  }
  /** Starts the keeper's thread; on failure the object is empty. */
  LeaseKeeper(KeeperOptions options, Status &status) { open(std::move(options), status); }
  /** Takes other's keeper and callback; other is left empty. */
  LeaseKeeper(LeaseKeeper &&other) noexcept = default;
  /** Closes the current keeper (its thread ends) before its callback goes, then takes other's. */
  LeaseKeeper &operator=(LeaseKeeper &&other) noexcept {
    keeper_ = std::move(other.keeper_);
    state_ = std::move(other.state_);
    return *this;
  }

  /** Keeps lease alive, renewing it with ttl_seconds. */
  void keep(LeaseRef &lease, int64_t ttl_seconds, Status &status) {
    sv_lease_keeper_add(keeper_, lease.handle(), ttl_seconds, status.reset());
  }
  /** Keeps lease alive, renewing it with ttl_seconds. */
  void keep(LeaseRef &lease, int64_t ttl_seconds) {
    detail::throwing([&](Status &status) { keep(lease, ttl_seconds, status); });
  }
  /** Stops keeping lease; false when it was not kept. */
  bool forget(LeaseRef &lease) noexcept {
    return sv_lease_keeper_remove(keeper_, lease.handle()) == SV_OK;
  }
  /** Fills status with the loss of lease (ok while it is kept and alive). */
  void check(LeaseRef &lease, Status &status) {
    sv_lease_keeper_check(keeper_, lease.handle(), status.reset());
  }
  /** Throws the loss of lease (or that it is not kept). */
  void check(LeaseRef &lease) {
    detail::throwing([&](Status &status) { check(lease, status); });
  }
  /** Successful renewals of lease so far. */
  int64_t renewals(LeaseRef &lease) noexcept {
    return sv_lease_keeper_renewals(keeper_, lease.handle());
  }
  /** The handle. */
  sv_lease_keeper *handle() const noexcept { return keeper_; }

 private:
  struct Callbacks {
    std::function<void(const LostLease &)> on_lost;
    static void lost(void *context, const sv_lease_lost_event *event) {
      auto *self = static_cast<Callbacks *>(context);
      try {
        self->on_lost(LostLease{detail::owned(event->namespace_name), detail::owned(event->key),
                                detail::owned(event->lease_id), Error(*event->error)});
      } catch (...) {
        // Nothing may leave the keeper's thread.
      }
    }
  };

  void open(KeeperOptions options, Status &status) {
    state_ = std::make_unique<Callbacks>();
    state_->on_lost = std::move(options.on_lost);
    sv_lease_keeper_config config;
    sv_lease_keeper_config_init(&config);
    config.renew_fraction = options.renew_fraction;
    config.jitter_ms = options.jitter_ms;
    config.retry_ms = options.retry_ms;
    if (state_->on_lost) {
      config.on_lost = &Callbacks::lost;
      config.context = state_.get();
    }
    sv_lease_keeper_open(&config, keeper_.out(), status.reset());
  }

  // Declared first, so the keeper (whose thread calls the callbacks) is closed before them.
  std::unique_ptr<Callbacks> state_;
  detail::Owned<sv_lease_keeper, sv_lease_keeper_close> keeper_;
};

// ---- Mapped records --------------------------------------------------------------------------

/** A record of type T described by a brindle map, initialised and cleaned up with its scope:
 * the map stays visible, the typed record is value. */
template <typename T>
class Mapped {
 public:
  static_assert(std::is_trivially_copyable_v<T>, "a mapped record is a plain C record");
  /** An initialised record of map, whose record size must be sizeof(T). */
  explicit Mapped(const brindle_map &map) : map_(&map) {
    if (map.struct_size != sizeof(T))
      throw Error(SV_ERR_INVALID, "mapped record size does not match its map");
    brindle_init(map_, &value);
  }
  ~Mapped() { brindle_cleanup(map_, &value); }
  /** Takes the record's contents; other keeps an empty record of the same map. */
  Mapped(Mapped &&other) noexcept : value(other.value), map_(other.map_) {
    brindle_init(map_, &other.value);
  }
  Mapped(const Mapped &) = delete;
  Mapped &operator=(const Mapped &) = delete;
  Mapped &operator=(Mapped &&) = delete;

  /** The map of the record. */
  const brindle_map &map() const noexcept { return *map_; }
  /** The record. */
  T *operator->() noexcept { return &value; }
  /** The record. */
  const T *operator->() const noexcept { return &value; }

  T value{};  ///< the record

 private:
  const brindle_map *map_;
};

/** Parses the state of the lease's key into a fresh record of map. */
template <typename T>
Mapped<T> load(LeaseRef &lease, const brindle_map &map, Status &status) {
  Mapped<T> record(map);
  detail::Result<sv_get_res, sv_get_res_cleanup> res;
  sv_lease_load(lease.handle(), &map, &record.value, nullptr, nullptr, res.get(), status.reset());
  return record;
}
/** Parses the state of the lease's key into a fresh record of map. */
template <typename T>
Mapped<T> load(LeaseRef &lease, const brindle_map &map) {
  return detail::throwing([&](Status &status) { return load<T>(lease, map, status); });
}
/** Replaces the state of the lease's key with record, serialised by map. */
template <typename T>
void save(LeaseRef &lease, const brindle_map &map, const T &record, Status &status) {
  if (map.struct_size != sizeof(T)) {
    status.fail(SV_ERR_INVALID, "mapped record size does not match its map");
    return;
  }
  sv_lease_save(lease.handle(), &map, &record, nullptr, status.reset());
}
/** Replaces the state of the lease's key with record, serialised by map. */
template <typename T>
void save(LeaseRef &lease, const brindle_map &map, const T &record) {
  detail::throwing([&](Status &status) { save(lease, map, record, status); });
}
/** Replaces the state of the lease's key with a mapped record. */
template <typename T>
void save(LeaseRef &lease, const Mapped<T> &record) {
  save(lease, record.map(), record.value);
}

// ---- Messages --------------------------------------------------------------------------------

/** The operations of a delivered message, over a handle this object does not own (a
 * subscription's or a consumer service's). Message adds ownership. */
class MessageRef {
 public:
  MessageRef() = default;
  /** Refers to message, which stays its owner's. */
  explicit MessageRef(sv_message *message) noexcept : handle_(message) {}

  /** The handle (NULL once settled or moved from). */
  sv_message *handle() const noexcept { return handle_; }
  /** True while there is a handle. */
  explicit operator bool() const noexcept { return handle_ != nullptr; }

  /** The message id. */
  std::string id() const { return field(&sv_message::message_id); }
  /** The queue it came from. */
  std::string queue() const { return field(&sv_message::queue); }
  /** The payload's content type. */
  std::string content_type() const { return field(&sv_message::payload_content_type); }
  /** Deliveries so far, this one included. */
  int32_t attempts() const noexcept { return handle_ != nullptr ? handle_->attempts : 0; }
  /** When the delivery ends unless extended. */
  int64_t lease_expires_at_unix() const noexcept {
    return handle_ != nullptr ? handle_->lease_expires_at_unix : 0;
  }
  /** Reads the rest of the payload. */
  std::string payload(Status &status) {
    Sink sink = Sink::to_memory(status);
    if (!status) return {};
    if (sv_message_write_payload(handle_, sink.handle(), nullptr, status.reset()) != SV_OK)
      return {};
    return sink.bytes();
  }
  /** Reads the rest of the payload. */
  std::string payload() {
    return detail::throwing([&](Status &status) { return payload(status); });
  }

  /** The lease on the message's state (deliveries with state), owned by the message. */
  std::optional<LeaseRef> state() const {
    sv_lease *lease = sv_message_state(handle_);
    if (lease == nullptr) return std::nullopt;
    return LeaseRef(lease);
  }

  /** Acknowledges the message; on success the object is empty. */
  void ack(Status &status) {
    if (sv_message_ack(handle_, status.reset()) == SV_OK) handle_ = nullptr;
  }
  /** Acknowledges the message; on success the object is empty. */
  void ack() {
    detail::throwing([&](Status &status) { ack(status); });
  }
  /** Hands the message back with intent (SV_NACK_INTENT_*) after delay_seconds; on success the
   * object is empty. */
  void nack(sv_nack_intent intent, int64_t delay_seconds, Status &status) {
    sv_nack_req req;
    sv_nack_req_init(&req);
    req.intent = intent;
    req.delay_seconds = delay_seconds;
    if (sv_message_nack(handle_, &req, status.reset()) == SV_OK) handle_ = nullptr;
  }
  /** Hands the message back (see the overload with a Status). */
  void nack(sv_nack_intent intent = SV_NACK_INTENT_FAILURE, int64_t delay_seconds = 0) {
    detail::throwing([&](Status &status) { nack(intent, delay_seconds, status); });
  }
  /** Extends the delivery by seconds (0: the message's visibility timeout). */
  void extend(int64_t seconds, Status &status) {
    sv_extend_req req;
    sv_extend_req_init(&req);
    req.extend_by_seconds = seconds;
    sv_message_extend(handle_, &req, status.reset());
  }
  /** Extends the delivery by seconds (0: the message's visibility timeout). */
  void extend(int64_t seconds = 0) {
    detail::throwing([&](Status &status) { extend(seconds, status); });
  }

 protected:
  /** A string member of the view, empty when NULL. */
  std::string field(const char *sv_message::*member) const {
    return detail::owned(handle_ != nullptr ? handle_->*member : nullptr);
  }
  sv_message *handle_ = nullptr;  ///< the handle, not owned here
};

/** A delivered message this object owns; its destructor frees the handle without telling the
 * server (the delivery then runs out and the message becomes visible again). */
class Message : public detail::Owning<MessageRef, sv_message, sv_message_close> {
 public:
  using Owning::Owning;
};

// ---- Mutation plans --------------------------------------------------------------------------

/** Parsed mutation expressions, applied locally to JSON files. */
class MutationPlan {
 public:
  MutationPlan() = default;
  /** Parses expressions (no file-backed values). */
  static MutationPlan build(const std::vector<std::string> &expressions, Status &status) {
    const auto texts = detail::c_strings(expressions);
    sv_mutation_plan *plan = nullptr;
    sv_mutation_plan_build(texts.data(), texts.size(), nullptr, &plan, status.reset());
    return MutationPlan(plan);
  }
  /** Parses expressions (no file-backed values). */
  static MutationPlan build(const std::vector<std::string> &expressions) {
    return detail::throwing([&](Status &status) { return build(expressions, status); });
  }

  /** The number of mutations. */
  size_t size() const noexcept { return sv_mutation_plan_count(plan_); }
  /** The handle. */
  sv_mutation_plan *handle() const noexcept { return plan_; }

  /** Applies the plan to the JSON object in input and returns the compact result. */
  std::string apply(std::FILE *input, Status &status) const {
    std::FILE *final_file = nullptr;
    if (sv_mutation_plan_apply(plan_, input, &final_file, status.reset()) != SV_OK) return {};
    std::string result;
    char buffer[8192];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, final_file)) > 0)
      result.append(buffer, count);
    std::fclose(final_file);
    return result;
  }
  /** Applies the plan to the JSON object in input and returns the compact result. */
  std::string apply(std::FILE *input) const {
    return detail::throwing([&](Status &status) { return apply(input, status); });
  }

 private:
  explicit MutationPlan(sv_mutation_plan *plan) noexcept : plan_(plan) {}
  detail::Owned<sv_mutation_plan, sv_mutation_plan_close> plan_;
};

// ---- Consumer service ------------------------------------------------------------------------

/** One delivery handed to a consumer service handler. */
struct Delivery {
  MessageRef message;             ///< managed by the service: ack, nack or extend it, or not
  std::optional<LeaseRef> state;  ///< the lease on the message's state (with_state)
  std::string consumer;           ///< the consumer's name
  std::string queue;              ///< the queue
};

/** A consumer service handler: returning normally acks (unless it settled the message), a
 * throw nacks the message for another attempt. */
using DeliveryHandler = std::function<void(Delivery &)>;

/** One consumer of a service. */
struct ConsumerOptions {
  std::string name;         ///< empty: the queue
  std::string queue;        ///< required
  DequeueOptions request;   ///< owner, visibility timeout and wait of the subscription
  size_t workers = 1;       ///< worker threads
  bool with_state = false;  ///< each delivery also leases the message's state
  DeliveryHandler handler;  ///< required
  /** Called after a failed attempt or delivery with its error; true stops the service. */
  std::function<bool(const Error &)> on_error;
  sv_consumer_restart_policy restart_policy = default_restart_policy();  ///< after failures

  /** The library's default restart policy. */
  static sv_consumer_restart_policy default_restart_policy() {
    sv_consumer_restart_policy policy;
    sv_consumer_restart_policy_init(&policy);
    return policy;
  }
};

namespace detail {
inline sv_dequeue_req dequeue_request(const std::string &queue, const DequeueOptions &options) {
  sv_dequeue_req req;
  sv_dequeue_req_init(&req);
  req.namespace_name = c_or_null(options.namespace_name);
  req.queue = c_or_null(queue);
  req.owner = c_or_null(options.owner);
  req.visibility_timeout_seconds = options.visibility_timeout_seconds;
  req.wait_seconds = options.wait_seconds;
  req.page_size = options.page_size;
  return req;
}
}  // namespace detail

/** A running multi-threaded consumer service; its destructor stops it, lets running handlers
 * finish and frees it. */
class ConsumerService {
 public:
  ConsumerService() = default;
  /** Takes other's service and handlers; other is left empty. */
  ConsumerService(ConsumerService &&other) noexcept = default;
  /** Closes the current service (its workers end) before its handlers go, then takes other's. */
  ConsumerService &operator=(ConsumerService &&other) noexcept {
    service_ = std::move(other.service_);
    consumers_ = std::move(other.consumers_);
    return *this;
  }

  /** Starts the workers. */
  void start(Status &status) { sv_consumer_service_start(service_, status.reset()); }
  /** Starts the workers. */
  void start() {
    detail::throwing([&](Status &status) { start(status); });
  }
  /** Asks every worker to end; returns at once (safe from a handler, not from a signal handler).
   * Handlers still running drain (ConsumerServiceOptions::drain_timeout_ms). */
  void stop() noexcept { sv_consumer_service_stop(service_); }
  /** The same request, async-signal-safe: call it from a signal handler (not racing with the
   * destructor). */
  void signal_stop() noexcept { sv_consumer_service_signal_stop(service_); }
  /** Waits until every worker ended; the first fatal failure of one. */
  void wait(Status &status) { sv_consumer_service_wait(service_, status.reset()); }
  /** Waits until every worker ended; throws the first fatal failure of one. */
  void wait() {
    detail::throwing([&](Status &status) { wait(status); });
  }
  /** Start, then wait. */
  void run() {
    start();
    wait();
  }
  /** The handle. */
  sv_consumer_service *handle() const noexcept { return service_; }

 private:
  friend class Client;
  // The handlers the C service calls, at a stable address for its lifetime.
  struct Consumer {
    ConsumerOptions options;
    static int handle(void *context, const sv_consumer_delivery *delivery, sv_error *error) {
      auto *self = static_cast<Consumer *>(context);
      return detail::guarded(error, [&] {
        Delivery view{MessageRef(delivery->message),
                      delivery->state != nullptr
                          ? std::optional<LeaseRef>(LeaseRef(delivery->state))
                          : std::nullopt,
                      detail::owned(delivery->consumer), detail::owned(delivery->queue)};
        self->options.handler(view);
        return SV_OK;
      });
    }
    static int on_error(void *context, const sv_consumer_error_event *event, sv_error *error) {
      auto *self = static_cast<Consumer *>(context);
      if (!self->options.on_error || event->error == nullptr) return 0;
      int stop = 0;
      detail::guarded(error, [&] {
        stop = self->options.on_error(Error(*event->error)) ? 1 : 0;
        return SV_OK;
      });
      return stop;
    }
  };
  // Declared first, so the service (whose workers call the handlers) is closed before them.
  std::vector<std::unique_ptr<Consumer>> consumers_;
  detail::Owned<sv_consumer_service, sv_consumer_service_close> service_;
};

// ---- Client ----------------------------------------------------------------------------------

/** What a client is opened with; the defaults are the C configuration's. */
struct ClientOptions {
  std::vector<std::string> endpoints;  ///< base URLs, tried in this order
  std::string client_bundle_path;      ///< PEM client bundle (certificate, key, CA)
  bool disable_mtls = false;           ///< no client certificate
  bool insecure_skip_verify = false;   ///< do not verify the server
  bool prefer_http_2 = false;          ///< HTTP/2 over TLS
  std::string default_namespace;       ///< empty: "default"
  int64_t timeout_ms = 0;              ///< whole-request timeout; 0: 30000
  std::string client_cert_path;        ///< separate certificate file
  std::string client_key_path;         ///< separate key file
  std::string ca_path;                 ///< separate CA file
  std::string unix_socket_path;        ///< connect through a Unix socket
  ember_logger *logger = nullptr;      ///< NULL: nothing is logged
  bool reuse_connections = false;      ///< one pool of connections for all calls and threads
  int64_t connect_timeout_ms = 0;      ///< connect and TLS handshake bound; 0: 10000
  int64_t stream_idle_timeout_ms = 0;  ///< a transfer silent this long fails; 0: no bound
  bool trust_bundle_ca_only = false;   ///< trust the given CAs alone, not the system store
};

/** What a consumer service is created with; the defaults are the C configuration's. */
struct ConsumerServiceOptions {
  /** How long handlers running at a stop may still extend and settle; 0: 30000, negative: no
   * drain. */
  int64_t drain_timeout_ms = 30000;
};

/** Acquire_for_update's handler: sees the lease and the state read right after the acquire.
 * Returning normally releases with commit; a throw rolls back. */
using UpdateHandler = std::function<void(LeaseRef &lease, const std::optional<State> &state)>;

/** An open client (a move-only sv_client). Safe to share between threads. */
class Client {
 public:
  Client() = default;
  /** Opens a client; see the overload with a Status. */
  explicit Client(const ClientOptions &options) {
    detail::throwing([&](Status &status) { open(options, status); });
  }
  /** Opens a client; on failure the object is empty and status says why. */
  Client(const ClientOptions &options, Status &status) { open(options, status); }
  /** Takes ownership of client. */
  explicit Client(sv_client *client) noexcept : client_(client) {}

  /** The handle. */
  sv_client *handle() const noexcept { return client_; }
  /** True while there is a handle. */
  explicit operator bool() const noexcept { return client_ != nullptr; }

  /** Acquires a lease on key. */
  Lease acquire(std::string_view key, const AcquireOptions &options, Status &status) {
    const std::string key_text(key);
    sv_acquire_req req = acquire_request(key_text, options);
    sv_lease *lease = nullptr;
    sv_acquire(client_, &req, &lease, status.reset());
    return Lease(lease);
  }
  /** Acquires a lease on key. */
  Lease acquire(std::string_view key, const AcquireOptions &options) {
    return detail::throwing([&](Status &status) { return acquire(key, options, status); });
  }

  /** Acquires a lease on key, runs handler with it and the key's state, and releases the lease
   * (rolling back when the handler throws, and then throwing its failure). */
  void acquire_for_update(std::string_view key, const AcquireOptions &options,
                          const UpdateHandler &handler, Status &status) {
    const std::string key_text(key);
    sv_acquire_req req = acquire_request(key_text, options);
    sv_acquire_for_update(client_, &req, &Client::run_update, const_cast<UpdateHandler *>(&handler),
                          status.reset());
  }
  /** See the overload with a Status. */
  void acquire_for_update(std::string_view key, const AcquireOptions &options,
                          const UpdateHandler &handler) {
    detail::throwing([&](Status &status) { acquire_for_update(key, options, handler, status); });
  }

  /** Describes key: owner, lease, version, ETag and metadata. */
  KeyDescription describe(std::string_view key, Status &status,
                          const std::string &namespace_name = {}) {
    const std::string key_text(key);
    sv_describe_req req;
    sv_describe_req_init(&req);
    req.key = key_text.c_str();
    req.namespace_name = detail::c_or_null(namespace_name);
    detail::Result<sv_describe_res, sv_describe_res_cleanup> res;
    if (sv_describe(client_, &req, res.get(), status.reset()) != SV_OK) return {};
    const sv_describe_res &r = res.record;
    return KeyDescription{detail::owned(r.namespace_name),
                          detail::owned(r.key),
                          detail::optional_text(r.owner),
                          detail::optional_text(r.lease_id),
                          r.version,
                          r.expires_at_unix,
                          detail::optional_text(r.state_etag),
                          r.has_metadata != 0,
                          r.query_hidden != 0,
                          detail::owned(r.correlation_id)};
  }
  /** Describes key. */
  KeyDescription describe(std::string_view key, const std::string &namespace_name = {}) {
    return detail::throwing([&](Status &status) { return describe(key, status, namespace_name); });
  }

  /** Reads the committed state of key without a lease. */
  State get_public(std::string_view key, Status &status) {
    const std::string key_text(key);
    State state;
    Sink sink = Sink::to_memory(status);
    if (!status) return state;
    sv_get_opts opts;
    sv_get_opts_init(&opts);
    opts.public_read = 1;
    detail::Result<sv_get_res, sv_get_res_cleanup> res;
    if (sv_get(client_, key_text.c_str(), &opts, sink.handle(), res.get(), status.reset()) != SV_OK)
      return state;
    state.info = detail::state_info(res.record);
    state.bytes = sink.bytes();
    return state;
  }
  /** Reads the committed state of key without a lease. */
  State get_public(std::string_view key) {
    return detail::throwing([&](Status &status) { return get_public(key, status); });
  }

  /** Enqueues payload on queue. */
  EnqueueResult enqueue(std::string_view queue, std::string_view payload,
                        const EnqueueOptions &options, Status &status) {
    const std::string queue_text(queue);
    Source source = Source::from_bytes(payload, status);
    if (!status) return {};
    sv_enqueue_req req;
    sv_enqueue_req_init(&req);
    req.namespace_name = detail::c_or_null(options.namespace_name);
    req.queue = queue_text.c_str();
    req.delay_seconds = options.delay_seconds;
    req.visibility_timeout_seconds = options.visibility_timeout_seconds;
    req.ttl_seconds = options.ttl_seconds;
    req.max_attempts = options.max_attempts;
    req.payload_content_type = detail::c_or_null(options.content_type);
    detail::Result<sv_enqueue_res, sv_enqueue_res_cleanup> res;
    if (sv_enqueue(client_, &req, source.handle(), res.get(), status.reset()) != SV_OK) return {};
    const sv_enqueue_res &r = res.record;
    return EnqueueResult{
        detail::owned(r.message_id), r.attempts,      r.max_attempts,
        r.not_visible_until_unix,    r.payload_bytes, detail::owned(r.correlation_id)};
  }
  /** Enqueues payload on queue. */
  EnqueueResult enqueue(std::string_view queue, std::string_view payload,
                        const EnqueueOptions &options = {}) {
    return detail::throwing(
        [&](Status &status) { return enqueue(queue, payload, options, status); });
  }

  /** Dequeues one message (with_state: with a lease on its state); empty when none arrived
   * within the wait. */
  std::optional<Message> dequeue(std::string_view queue, const DequeueOptions &options,
                                 Status &status, bool with_state = false) {
    const std::string queue_text(queue);
    sv_dequeue_req req = detail::dequeue_request(queue_text, options);
    sv_message *message = nullptr;
    const int code = with_state ? sv_dequeue_with_state(client_, &req, &message, status.reset())
                                : sv_dequeue(client_, &req, &message, status.reset());
    if (code != SV_OK || message == nullptr) return std::nullopt;
    return Message(message);
  }
  /** Dequeues one message; empty when none arrived within the wait. */
  std::optional<Message> dequeue(std::string_view queue, const DequeueOptions &options,
                                 bool with_state = false) {
    return detail::throwing(
        [&](Status &status) { return dequeue(queue, options, status, with_state); });
  }

  /** Reads the statistics of queue. */
  QueueStats queue_stats(std::string_view queue, Status &status,
                         const std::string &namespace_name = {}) {
    const std::string queue_text(queue);
    sv_queue_stats_req req;
    sv_queue_stats_req_init(&req);
    req.queue = queue_text.c_str();
    req.namespace_name = detail::c_or_null(namespace_name);
    detail::Result<sv_queue_stats_res, sv_queue_stats_res_cleanup> res;
    if (sv_queue_stats(client_, &req, res.get(), status.reset()) != SV_OK) return {};
    const sv_queue_stats_res &r = res.record;
    return QueueStats{detail::owned(r.namespace_name),
                      detail::owned(r.queue),
                      r.waiting_consumers,
                      r.total_consumers,
                      r.available != 0,
                      detail::optional_text(r.head_message_id),
                      r.messages,
                      r.in_flight,
                      r.dead_letters};
  }
  /** Reads the statistics of queue. */
  QueueStats queue_stats(std::string_view queue, const std::string &namespace_name = {}) {
    return detail::throwing(
        [&](Status &status) { return queue_stats(queue, status, namespace_name); });
  }

  /** Keeps a subscription on queue open and runs handler for every delivery, on a thread of the
   * library's. The handler must ack or nack the message; it ends the subscription by throwing
   * (or by leaving the message unsettled). */
  template <typename Handler>
  void subscribe(std::string_view queue, const DequeueOptions &options, Handler &&handler,
                 Status &status, bool with_state = false) {
    const std::string queue_text(queue);
    sv_dequeue_req req = detail::dequeue_request(queue_text, options);
    using Callable = std::remove_reference_t<Handler>;
    sv_consumer consumer;
    sv_consumer_init(&consumer);
    consumer.context = const_cast<void *>(static_cast<const void *>(&handler));
    consumer.handle = [](void *context, sv_message *message, sv_error *error) {
      return detail::guarded(error, [&] {
        MessageRef ref(message);
        (*static_cast<Callable *>(context))(ref);
        return SV_OK;
      });
    };
    if (with_state)
      sv_subscribe_with_state(client_, &req, &consumer, status.reset());
    else
      sv_subscribe(client_, &req, &consumer, status.reset());
  }
  /** See the overload with a Status. */
  template <typename Handler>
  void subscribe(std::string_view queue, const DequeueOptions &options, Handler &&handler,
                 bool with_state = false) {
    detail::throwing([&](Status &status) {
      subscribe(queue, options, std::forward<Handler>(handler), status, with_state);
    });
  }

  /** Watches queue and calls handler for every change while it returns true. */
  template <typename Handler>
  void watch_queue(std::string_view queue, Handler &&handler, Status &status,
                   const std::string &namespace_name = {}) {
    const std::string queue_text(queue);
    using Callable = std::remove_reference_t<Handler>;
    sv_watch_queue_req req;
    sv_watch_queue_req_init(&req);
    req.queue = queue_text.c_str();
    req.namespace_name = detail::c_or_null(namespace_name);
    sv_watch_handler watcher;
    sv_watch_handler_init(&watcher);
    watcher.context = const_cast<void *>(static_cast<const void *>(&handler));
    watcher.handle = [](void *context, const sv_watch_event *event, sv_error *error) {
      int go_on = 0;
      detail::guarded(error, [&] {
        WatchEvent view{detail::owned(event->namespace_name), detail::owned(event->queue),
                        event->available != 0, detail::optional_text(event->head_message_id),
                        event->changed_at_unix};
        go_on = (*static_cast<Callable *>(context))(view) ? 1 : 0;
        return SV_OK;
      });
      return go_on;
    };
    sv_watch_queue(client_, &req, &watcher, status.reset());
  }
  /** See the overload with a Status. */
  template <typename Handler>
  void watch_queue(std::string_view queue, Handler &&handler,
                   const std::string &namespace_name = {}) {
    detail::throwing([&](Status &status) {
      watch_queue(queue, std::forward<Handler>(handler), status, namespace_name);
    });
  }

  /** Runs selector_json as a key query and calls handler with every key while it returns true
   * (false ends the query early, which is not a failure); returns the paging data. */
  template <typename Handler>
  QueryPage query_keys(std::string_view selector_json, const QueryOptions &options,
                       Handler &&handler, Status &status) {
    using Callable = std::remove_reference_t<Handler>;
    struct Collector {
      Callable *handler;
      std::string key;
      bool stopped;  // the handler asked to stop: not a failure of the query
    } collector{&handler, {}, false};
    const std::string selector(selector_json);
    sv_query_req req;
    sv_query_req_init(&req);
    req.selector_json = selector.c_str();
    req.namespace_name = detail::c_or_null(options.namespace_name);
    req.limit = options.limit;
    req.cursor = detail::c_or_null(options.cursor);
    req.engine = detail::c_or_null(options.engine);
    req.refresh = detail::c_or_null(options.refresh);
    sv_query_key_handler keys;
    sv_query_key_handler_init(&keys);
    keys.begin = [](void *context, sv_error *) {
      static_cast<Collector *>(context)->key.clear();
      return 1;
    };
    keys.chunk = [](void *context, const char *bytes, size_t length, sv_error *error) {
      int go_on = 0;
      detail::guarded(error, [&] {
        static_cast<Collector *>(context)->key.append(bytes, length);
        go_on = 1;
        return SV_OK;
      });
      return go_on;
    };
    keys.end = [](void *context, sv_error *error) {
      int go_on = 0;
      detail::guarded(error, [&] {
        auto *self = static_cast<Collector *>(context);
        go_on = (*self->handler)(std::string_view(self->key)) ? 1 : 0;
        self->stopped = go_on == 0;
        return SV_OK;
      });
      return go_on;
    };
    detail::Result<sv_query_res, sv_query_res_cleanup> res;
    if (sv_query_keys(client_, &req, &keys, &collector, res.get(), status.reset()) != SV_OK) {
      if (collector.stopped && status.code() == SV_ERR_TRANSPORT) status.reset();
      return {};
    }
    const char *cursor = res.record.cursor;
    return QueryPage{
        cursor != nullptr && *cursor != '\0' ? std::optional<std::string>(cursor) : std::nullopt,
        detail::owned(res.record.correlation_id)};
  }
  /** See the overload with a Status. */
  template <typename Handler>
  QueryPage query_keys(std::string_view selector_json, const QueryOptions &options,
                       Handler &&handler) {
    return detail::throwing([&](Status &status) {
      return query_keys(selector_json, options, std::forward<Handler>(handler), status);
    });
  }

  /** Creates a consumer service over clients configured like this one (not started). */
  ConsumerService consumer_service(std::vector<ConsumerOptions> consumers, Status &status) {
    return consumer_service(std::move(consumers), ConsumerServiceOptions{}, status);
  }
  /** Creates a consumer service with service options (not started). */
  ConsumerService consumer_service(std::vector<ConsumerOptions> consumers,
                                   const ConsumerServiceOptions &service_options, Status &status) {
    ConsumerService service;
    std::vector<sv_consumer_config> configs;
    for (auto &options : consumers) {
      auto consumer = std::make_unique<ConsumerService::Consumer>();
      consumer->options = std::move(options);
      service.consumers_.push_back(std::move(consumer));
    }
    for (const auto &consumer : service.consumers_) {
      const ConsumerOptions &options = consumer->options;
      sv_consumer_config config;
      sv_consumer_config_init(&config);
      config.name = detail::c_or_null(options.name);
      config.request = detail::dequeue_request(options.queue, options.request);
      config.workers = options.workers;
      config.with_state = options.with_state ? 1 : 0;
      config.handle = &ConsumerService::Consumer::handle;
      config.on_error = &ConsumerService::Consumer::on_error;
      config.context = consumer.get();
      config.restart_policy = options.restart_policy;
      configs.push_back(config);
    }
    sv_consumer_service_config config;
    sv_consumer_service_config_init(&config);
    config.consumers = configs.data();
    config.consumer_count = configs.size();
    config.drain_timeout_ms = service_options.drain_timeout_ms;
    sv_client_new_consumer_service(client_, &config, service.service_.out(), status.reset());
    return service;
  }
  /** Creates a consumer service (not started). */
  ConsumerService consumer_service(std::vector<ConsumerOptions> consumers,
                                   const ConsumerServiceOptions &service_options = {}) {
    return detail::throwing([&](Status &status) {
      return consumer_service(std::move(consumers), service_options, status);
    });
  }

 private:
  void open(const ClientOptions &options, Status &status) {
    const auto endpoints = detail::c_strings(options.endpoints);
    sv_client_config config;
    sv_client_config_init(&config);
    config.endpoints = endpoints.data();
    config.endpoint_count = endpoints.size();
    config.client_bundle_path = detail::c_or_null(options.client_bundle_path);
    config.disable_mtls = options.disable_mtls ? 1 : 0;
    config.insecure_skip_verify = options.insecure_skip_verify ? 1 : 0;
    config.prefer_http_2 = options.prefer_http_2 ? 1 : 0;
    config.default_namespace = detail::c_or_null(options.default_namespace);
    config.timeout_ms = options.timeout_ms;
    config.client_cert_path = detail::c_or_null(options.client_cert_path);
    config.client_key_path = detail::c_or_null(options.client_key_path);
    config.ca_path = detail::c_or_null(options.ca_path);
    config.unix_socket_path = detail::c_or_null(options.unix_socket_path);
    config.logger = options.logger;
    config.reuse_connections = options.reuse_connections ? 1 : 0;
    config.connect_timeout_ms = options.connect_timeout_ms;
    config.stream_idle_timeout_ms = options.stream_idle_timeout_ms;
    config.trust_bundle_ca_only = options.trust_bundle_ca_only ? 1 : 0;
    sv_client_open(&config, client_.out(), status.reset());
  }

  static sv_acquire_req acquire_request(const std::string &key, const AcquireOptions &options) {
    sv_acquire_req req;
    sv_acquire_req_init(&req);
    req.key = key.c_str();
    req.owner = detail::c_or_null(options.owner);
    req.ttl_seconds = options.ttl_seconds;
    req.block_seconds = options.block_seconds;
    req.if_not_exists = options.if_not_exists ? 1 : 0;
    req.txn_id = detail::c_or_null(options.txn_id);
    req.namespace_name = detail::c_or_null(options.namespace_name);
    return req;
  }

  static int run_update(void *context, const sv_update_view *view, sv_error *error) {
    return detail::guarded(error, [&] {
      std::optional<State> state;
      if (view->has_state != 0) {
        // The library closes the state source after the handler.
        std::string bytes = detail::throwing(
            [&](Status &status) { return Source::read_rest(view->state, status); });
        state = State{
            StateInfo{true, detail::owned(view->content_type), detail::owned(view->etag),
                      view->version, view->fencing_token, detail::owned(view->correlation_id)},
            std::move(bytes)};
      }
      LeaseRef lease(view->lease);
      (*static_cast<const UpdateHandler *>(context))(lease, state);
      return SV_OK;
    });
  }

  detail::Owned<sv_client, sv_client_close> client_;
};

}  // namespace stavo

#endif  // STAVOC_HPP
