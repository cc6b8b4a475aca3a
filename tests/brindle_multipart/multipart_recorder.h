// Test support for the multipart parser: a recorder that keeps every callback, and a driver that
// pushes a body in slices chosen by the test.
#ifndef STAVO_TESTS_BRINDLE_MULTIPART_RECORDER_H
#define STAVO_TESTS_BRINDLE_MULTIPART_RECORDER_H

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "brindle.h"

namespace mp_test {

struct RecordedPart {
  std::string name;  // "<null>" when absent
  std::string content_type;
  int64_t content_length = -1;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string data;
  bool ended = false;
  size_t data_calls = 0;
};

struct Recorder {
  std::vector<RecordedPart> parts;
  std::string events;  // "B" begin, "D" data, "E" end, in order (runs of D collapsed)
  // Failure injection: the callback of this kind ('B', 'D', 'E') fails on its nth call.
  char fail_kind = 0;
  size_t fail_at = 0;
  int fail_code = 0;  // written into the error record before failing when non-zero
  size_t calls_of_kind = 0;

  bool should_fail(char kind, brindle_error *error) {
    if (kind != fail_kind) return false;
    if (++calls_of_kind != fail_at) return false;
    if (fail_code != 0 && error != nullptr) {
      error->code = fail_code;
      snprintf(error->message, sizeof(error->message), "%s", "recorder failure");
    }
    return true;
  }

  static std::string text(const char *value) { return value != nullptr ? value : "<null>"; }

  static int begin(void *user, const brindle_multipart_part *part, brindle_error *error) {
    auto *self = static_cast<Recorder *>(user);
    if (self->should_fail('B', error)) return 1;
    RecordedPart rec;
    rec.name = text(part->name);
    rec.content_type = text(part->content_type);
    rec.content_length = part->content_length;
    for (size_t i = 0; i < part->header_count; ++i) {
      rec.headers.emplace_back(part->headers[i].name, part->headers[i].value);
    }
    self->parts.push_back(rec);
    self->events += 'B';
    return 0;
  }
  static int data(void *user, const char *bytes, size_t length, brindle_error *error) {
    auto *self = static_cast<Recorder *>(user);
    if (self->should_fail('D', error)) return 1;
    if (length == 0) self->events += '0';  // empty deliveries are a fault
    if (self->parts.empty() || self->parts.back().ended) {
      self->events += '!';  // data outside a part
      return 0;
    }
    self->parts.back().data.append(bytes, length);
    ++self->parts.back().data_calls;
    if (self->events.empty() || self->events.back() != 'D') self->events += 'D';
    return 0;
  }
  static int end(void *user, const brindle_multipart_part *part, brindle_error *error) {
    auto *self = static_cast<Recorder *>(user);
    if (self->should_fail('E', error)) return 1;
    if (self->parts.empty() || self->parts.back().ended ||
        self->parts.back().name != text(part->name)) {
      self->events += '!';
    } else {
      self->parts.back().ended = true;
    }
    self->events += 'E';
    return 0;
  }

  brindle_multipart_callbacks callbacks() const { return {&begin, &data, &end}; }
};

// What a whole parse produced: the status and error of the first failing push (or of finish),
// and the recorder.
struct Outcome {
  brindle_status status = BRINDLE_OK;
  std::string message;
  bool failed_in_push = false;
  Recorder recorder;
};

// Splits a body of the given length into slice lengths.
using Slicer = std::function<std::vector<size_t>(size_t)>;

inline Slicer whole() {
  return [](size_t n) { return std::vector<size_t>{n}; };
}
inline Slicer bytewise() {
  return [](size_t n) { return std::vector<size_t>(n, 1); };
}
inline Slicer split_at(size_t point) {
  return [point](size_t n) {
    if (point == 0 || point >= n) return std::vector<size_t>{n};
    return std::vector<size_t>{point, n - point};
  };
}

// Opens a parser for content_type, pushes body in the slices, finishes, closes.
inline Outcome parse(const std::string &content_type, const std::string &body, const Slicer &slicer,
                     const brindle_multipart_options *options = nullptr,
                     Recorder recorder = Recorder()) {
  Outcome outcome;
  outcome.recorder = std::move(recorder);
  brindle_error error;
  brindle_multipart *parser = brindle_multipart_open(content_type.c_str(), options, &error);
  if (parser == nullptr) {
    outcome.status = static_cast<brindle_status>(error.code);
    outcome.message = error.message;
    outcome.failed_in_push = true;
    return outcome;
  }
  const brindle_multipart_callbacks callbacks = outcome.recorder.callbacks();
  size_t at = 0;
  for (size_t slice : slicer(body.size())) {
    brindle_status status = brindle_multipart_push(parser, body.data() + at, slice, &callbacks,
                                                   &outcome.recorder, &error);
    at += slice;
    if (status != BRINDLE_OK) {
      outcome.status = status;
      outcome.message = error.message;
      outcome.failed_in_push = true;
      brindle_multipart_close(parser);
      return outcome;
    }
  }
  outcome.status = brindle_multipart_finish_with(parser, &callbacks, &outcome.recorder, &error);
  if (outcome.status != BRINDLE_OK) outcome.message = error.message;
  brindle_multipart_close(parser);
  return outcome;
}

// Everything a test compares between two parses of the same body.
inline std::string summary(const Outcome &outcome) {
  std::string out = std::to_string(outcome.status) + "|" + outcome.message + "|" +
                    (outcome.failed_in_push ? "push" : "finish") + "|";
  std::string events;
  for (char c : outcome.recorder.events)
    events += c;
  out += events + "|";
  for (const RecordedPart &part : outcome.recorder.parts) {
    out += "[" + part.name + "," + part.content_type + "," + std::to_string(part.content_length) +
           "," + std::to_string(part.headers.size()) + "," + (part.ended ? "ended" : "open") + "," +
           part.data + "]";
  }
  return out;
}

}  // namespace mp_test

#endif
