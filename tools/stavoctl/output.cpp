// Output formatting: JSON results on stdout, errors on stderr, exit statuses by failure class,
// and the sinks and sources that connect stdout, stdin and files to the client.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace stavoctl {

// ---- Errors ----------------------------------------------------------------------------------

const char *status_name(int code) {
  switch (code) {
    case SV_OK:
      return "SV_OK";
    case SV_ERR_INVALID:
      return "SV_ERR_INVALID";
    case SV_ERR_NOMEM:
      return "SV_ERR_NOMEM";
    case SV_ERR_TRANSPORT:
      return "SV_ERR_TRANSPORT";
    case SV_ERR_PROTOCOL:
      return "SV_ERR_PROTOCOL";
    case SV_ERR_SERVER:
      return "SV_ERR_SERVER";
    default:
      return "SV_ERR_UNKNOWN";
  }
}

int exit_code_for(const sv_error &error) {
  switch (error.code) {
    case SV_OK:
      return kExitOk;
    case SV_ERR_INVALID:
      return kExitUsage;
    case SV_ERR_NOMEM:
      return kExitLocal;
    case SV_ERR_TRANSPORT:
      return kExitUnavailable;
    case SV_ERR_PROTOCOL:
      return kExitServer;
    default:
      break;
  }
  switch (error.http_status) {
    case 404:
    case 410:
      return kExitNotFound;
    case 409:
    case 412:
    case 423:
      return kExitConflict;
    case 429:
    case 502:
    case 503:
    case 504:
      return kExitUnavailable;
    default:
      return kExitServer;
  }
}

void print_error(std::string_view command, const sv_error &error) {
  std::string text = "stavoctl: " + std::string(command) + ": " +
                     (error.message != nullptr ? error.message : "failed") +
                     "\n  code=" + status_name(error.code);
  if (error.http_status != 0) text += " http_status=" + std::to_string(error.http_status);
  if (error.server_error_code != nullptr) {
    text += " server_error=" + std::string(error.server_error_code);
  }
  if (error.correlation_id != nullptr) {
    text += " correlation_id=" + std::string(error.correlation_id);
  }
  text += "\n";
  if (error.detail != nullptr && error.detail[0] != '\0') {
    text += "  detail: " + std::string(error.detail) + "\n";
  }
  std::fputs(text.c_str(), stderr);
}

void check(Context &ctx, int status, const sv_error &error) {
  if (status == SV_OK) return;
  sv_error copy = error;
  if (copy.code == SV_OK) copy.code = status;  // a callee that set no record
  print_error(ctx.command_name, copy);
  throw Failure{exit_code_for(copy)};
}

void fail(Context &ctx, int code, const std::string &message) {
  std::fprintf(stderr, "stavoctl: %s: %s\n", ctx.command_name.c_str(), message.c_str());
  throw Failure{code};
}

// ---- JSON ------------------------------------------------------------------------------------

size_t utf8_sequence_length(std::string_view text, size_t index) {
  auto byte = static_cast<unsigned char>(text[index]);
  if (byte < 0x80) return 1;
  size_t extra = 0;
  if (byte >= 0xc2 && byte <= 0xdf) {
    extra = 1;
  } else if (byte >= 0xe0 && byte <= 0xef) {
    extra = 2;
  } else if (byte >= 0xf0 && byte <= 0xf4) {
    extra = 3;
  } else {
    return 0;
  }
  if (extra >= text.size() - index) return 0;
  uint32_t code = byte & (0x3fu >> extra);
  for (size_t k = 1; k <= extra; ++k) {
    auto next = static_cast<unsigned char>(text[index + k]);
    if ((next & 0xc0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3f);
  }
  if ((extra == 2 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) ||
      (extra == 3 && (code < 0x10000 || code > 0x10ffff))) {
    return 0;
  }
  return extra + 1;
}

bool is_utf8(std::string_view text) {
  for (size_t index = 0; index < text.size();) {
    size_t length = utf8_sequence_length(text, index);
    if (length == 0) return false;
    index += length;
  }
  return true;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (size_t index = 0; index < text.size(); ++index) {
    char c = text[index];
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      // Valid sequences pass through; a stray byte becomes U+FFFD, so the output stays JSON.
      size_t length = utf8_sequence_length(text, index);
      if (length == 0) {
        out += "\\ufffd";
      } else {
        out.append(text.substr(index, length));
        index += length - 1;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", byte);
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string json_string_array(const sv_string_list &list) {
  std::string out = "[";
  for (size_t index = 0; index < list.count; ++index) {
    if (index > 0) out += ",";
    out += list.items[index] != nullptr ? json_string(list.items[index]) : "null";
  }
  return out + "]";
}

void JsonObject::key(std::string_view name) {
  if (!body_.empty()) body_ += ",";
  body_ += json_string(name) + ":";
}

JsonObject &JsonObject::str(std::string_view name, const char *value) {
  key(name);
  body_ += value != nullptr ? json_string(value) : "null";
  return *this;
}

JsonObject &JsonObject::str(std::string_view name, std::string_view value) {
  key(name);
  body_ += json_string(value);
  return *this;
}

JsonObject &JsonObject::num(std::string_view name, int64_t value) {
  key(name);
  body_ += std::to_string(value);
  return *this;
}

JsonObject &JsonObject::unsigned_num(std::string_view name, uint64_t value) {
  key(name);
  body_ += std::to_string(value);
  return *this;
}

JsonObject &JsonObject::boolean(std::string_view name, bool value) {
  key(name);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject &JsonObject::raw(std::string_view name, std::string_view json) {
  key(name);
  body_ += json;
  return *this;
}

void print_line(Context &ctx, const std::string &line) {
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
      std::fputc('\n', stdout) == EOF || std::fflush(stdout) != 0) {
    fail(ctx, kExitLocal, std::string("cannot write to stdout: ") + std::strerror(errno));
  }
}

void print_json(Context &ctx, const JsonObject &object) {
  print_line(ctx, object.text());
}

// ---- Sinks -----------------------------------------------------------------------------------

struct OutputSink::Impl {
  sv_sink base;  // first member: the library calls through it
  int fd = -1;
  bool owns_fd = false;
  bool failed = false;
  bool terminal = false;  // stdout is a terminal: raw bytes end with a newline for the prompt
  char last = '\n';
};

namespace {

int sink_write(sv_sink *sink, const char *bytes, size_t length, sv_error *error) {
  auto *impl = reinterpret_cast<OutputSink::Impl *>(sink);
  while (length > 0) {
    ssize_t written = ::write(impl->fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      impl->failed = true;
      sv_error_set(error, SV_ERR_TRANSPORT, 0, "cannot write output", std::strerror(errno), nullptr,
                   nullptr);
      return 0;
    }
    impl->last = bytes[written - 1];
    bytes += written;
    length -= static_cast<size_t>(written);
  }
  return 1;
}

void sink_close(sv_sink *) {}

}  // namespace

OutputSink::OutputSink(Context &ctx, const std::string &path) : impl_(new Impl) {
  impl_->base.write = sink_write;
  impl_->base.close = sink_close;
  if (path.empty() || path == "-") {
    std::fflush(stdout);
    impl_->fd = STDOUT_FILENO;
    impl_->terminal = isatty(STDOUT_FILENO) == 1;
    return;
  }
  impl_->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (impl_->fd < 0) {
    int saved = errno;
    delete impl_;
    impl_ = nullptr;
    fail(ctx, kExitLocal, "cannot open '" + path + "' for writing: " + std::strerror(saved));
  }
  impl_->owns_fd = true;
}

OutputSink::~OutputSink() {
  // Only a terminal gets the newline: piped or redirected bytes stay exactly what was stored.
  if (impl_ != nullptr && impl_->terminal && !impl_->failed && impl_->last != '\n') {
    [[maybe_unused]] const ssize_t ignored = ::write(impl_->fd, "\n", 1);
  }
  if (impl_ != nullptr && impl_->owns_fd) ::close(impl_->fd);
  delete impl_;
}

sv_sink *OutputSink::get() {
  return &impl_->base;
}

bool OutputSink::write_failed() const {
  return impl_->failed;
}

void OutputSink::check(Context &ctx, int status, const sv_error &error) {
  if (status != SV_OK && impl_->failed) {
    fail(ctx, kExitLocal,
         std::string("cannot write output: ") + (error.detail != nullptr ? error.detail : ""));
  }
  stavoctl::check(ctx, status, error);
}

// ---- Sources ---------------------------------------------------------------------------------

namespace {

// Copies stdin into an anonymous temporary file, rewound.
FILE *spool_stdin(Context &ctx) {
  FILE *spool = std::tmpfile();
  if (spool == nullptr) {
    fail(ctx, kExitLocal, std::string("cannot create a temporary file: ") + std::strerror(errno));
  }
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int saved = errno;
      std::fclose(spool);
      fail(ctx, kExitLocal, std::string("cannot read stdin: ") + std::strerror(saved));
    }
    if (got == 0) break;
    if (std::fwrite(buffer, 1, static_cast<size_t>(got), spool) != static_cast<size_t>(got)) {
      int saved = errno;
      std::fclose(spool);
      fail(ctx, kExitLocal, std::string("cannot spool stdin: ") + std::strerror(saved));
    }
  }
  if (std::fflush(spool) != 0 || std::fseek(spool, 0, SEEK_SET) != 0) {
    int saved = errno;
    std::fclose(spool);
    fail(ctx, kExitLocal, std::string("cannot spool stdin: ") + std::strerror(saved));
  }
  return spool;
}

}  // namespace

InputSource::InputSource(Context &ctx, const Args &args, std::optional<std::string> word) {
  auto path = args.get("file");
  if (path && word) throw UsageError("give the value either as an argument or with --file");
  if (!path && !word) throw UsageError("missing value: give it as an argument, --file PATH or -");
  FILE *file = nullptr;
  if ((path && *path == "-") || (word && *word == "-")) {
    file = spool_stdin(ctx);
  } else if (path) {
    file = std::fopen(path->c_str(), "rbe");
    if (file == nullptr) {
      fail(ctx, kExitLocal, "cannot open '" + *path + "': " + std::strerror(errno));
    }
  }
  ErrorRecord error;
  if (file != nullptr) {
    source_ = sv_source_from_open_file(file, 1);
    if (source_ == nullptr) fail(ctx, kExitLocal, "out of memory");
    return;
  }
  check(ctx, sv_source_from_memory(word->data(), word->size(), &source_, error.get()), *error);
}

InputSource::~InputSource() {
  sv_source_close(source_);
}

}  // namespace stavoctl
