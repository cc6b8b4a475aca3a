// Helpers for the value tests: a visitor that records its events, sinks that collect or refuse
// output, readers that hand out input in small pieces or generate it, temporary directories and
// pipes.
#ifndef STAVO_TESTS_BRINDLE_VALUES_UTIL_H
#define STAVO_TESTS_BRINDLE_VALUES_UTIL_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "brindle.h"

namespace values_test {

// Records every event as a token: "{" "}" "[" "]" "K<" "k:bytes" "K>" "S<" "s:bytes" "S>" "N<"
// "n:text" "N>" "true" "false" "null". Optionally stops at the Nth event with a status.
struct Recorder {
  std::vector<std::string> events;
  size_t stop_at = 0;  // 1-based event index that returns stop_status; 0: never
  brindle_status stop_status = BRINDLE_CALLBACK_FAILED;
  brindle_status chunk_status = BRINDLE_OK;  // returned by chunk callbacks that do not stop

  std::string joined() const {
    std::string out;
    for (const auto &event : events) {
      if (!out.empty()) out += ' ';
      out += event;
    }
    return out;
  }
  // Concatenation of the chunk payloads of one kind ('k', 's' or 'n').
  std::string text_of(char kind) const {
    std::string out;
    for (const auto &event : events) {
      if (event.size() >= 2 && event[0] == kind && event[1] == ':') out += event.substr(2);
    }
    return out;
  }
  brindle_status add(std::string event, brindle_status ok = BRINDLE_OK) {
    events.push_back(std::move(event));
    if (stop_at != 0 && events.size() == stop_at) return stop_status;
    return ok;
  }

  static Recorder *self(void *user) { return static_cast<Recorder *>(user); }
  static brindle_status ob(void *u, brindle_error *) { return self(u)->add("{"); }
  static brindle_status oe(void *u, brindle_error *) { return self(u)->add("}"); }
  static brindle_status kb(void *u, brindle_error *) { return self(u)->add("K<"); }
  static brindle_status kc(void *u, const char *b, size_t n, brindle_error *) {
    return self(u)->add("k:" + std::string(b, n), self(u)->chunk_status);
  }
  static brindle_status ke(void *u, brindle_error *) { return self(u)->add("K>"); }
  static brindle_status ab(void *u, brindle_error *) { return self(u)->add("["); }
  static brindle_status ae(void *u, brindle_error *) { return self(u)->add("]"); }
  static brindle_status sb(void *u, brindle_error *) { return self(u)->add("S<"); }
  static brindle_status sc(void *u, const char *b, size_t n, brindle_error *) {
    return self(u)->add("s:" + std::string(b, n), self(u)->chunk_status);
  }
  static brindle_status se(void *u, brindle_error *) { return self(u)->add("S>"); }
  static brindle_status nb(void *u, brindle_error *) { return self(u)->add("N<"); }
  static brindle_status nc(void *u, const char *b, size_t n, brindle_error *) {
    return self(u)->add("n:" + std::string(b, n), self(u)->chunk_status);
  }
  static brindle_status ne(void *u, brindle_error *) { return self(u)->add("N>"); }
  static brindle_status bo(void *u, int32_t v, brindle_error *) {
    return self(u)->add(v != 0 ? "true" : "false");
  }
  static brindle_status nu(void *u, brindle_error *) { return self(u)->add("null"); }

  static const brindle_value_visitor *visitor() {
    static const brindle_value_visitor table = {ob, oe, kb, kc, ke, ab, ae, sb,
                                                sc, se, nb, nc, ne, bo, nu};
    return &table;
  }
};

// Collects sink output; optionally fails or truncates from the Nth call on.
struct StringSink {
  std::string text;
  size_t calls = 0;
  size_t fail_at = 0;  // 1-based call that returns fail_status; 0: never
  brindle_status fail_status = BRINDLE_CALLBACK_FAILED;
  static brindle_status write(void *user, const char *bytes, size_t length, brindle_error *) {
    auto *self = static_cast<StringSink *>(user);
    ++self->calls;
    if (self->fail_at != 0 && self->calls >= self->fail_at) return self->fail_status;
    self->text.append(bytes, length);
    return BRINDLE_OK;
  }
};

// Hands out a string at most `piece` bytes per call.
struct PieceReader {
  std::string data;
  size_t piece = 1;
  size_t position = 0;
  int32_t error_at_call = 0;  // 1-based call that reports error_value; 0: never
  int32_t error_value = 5;
  int32_t calls = 0;
  bool eof_with_last_bytes = false;  // report eof together with the last bytes
  static brindle_read_result read(void *user, char *buffer, size_t capacity) {
    auto *self = static_cast<PieceReader *>(user);
    brindle_read_result result{};
    ++self->calls;
    if (self->error_at_call != 0 && self->calls == self->error_at_call) {
      result.error = self->error_value;
      return result;
    }
    size_t n = self->data.size() - self->position;
    if (n > self->piece) n = self->piece;
    if (n > capacity) n = capacity;
    std::memcpy(buffer, self->data.data() + self->position, n);
    self->position += n;
    result.bytes = n;
    const bool done = self->position == self->data.size();
    result.eof = (n == 0 || (done && self->eof_with_last_bytes)) ? 1 : 0;
    return result;
  }
};

// A fresh directory under the system's temporary directory, removed with its files at the end.
class TempDir {
 public:
  TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/brindle-values-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::string command = "rm -rf '" + path_ + "'";
      if (std::system(command.c_str()) != 0) {
        // nothing more can be done in a destructor
      }
    }
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  // Names of the entries in the directory.
  std::vector<std::string> entries() const;

 private:
  std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// A pipe whose write end has received content and is closed: reading gives content, then EOF.
// Content must fit in the pipe buffer (64 KiB on Linux).
struct FilledPipe {
  int read_fd = -1;
  explicit FilledPipe(const std::string &content);
  ~FilledPipe();
  FilledPipe(const FilledPipe &) = delete;
  FilledPipe &operator=(const FilledPipe &) = delete;
};

// Bytes the process's allocator currently holds (sanitizer allocator or glibc's), for showing
// that an operation allocates nothing that grows with its input.
size_t heap_in_use();

}  // namespace values_test

#endif
