// Test support for the server-sent-events parser: a recorder for the plain callbacks and a
// driver that pushes a stream in slices chosen by the test.
#ifndef STAVO_TESTS_BRINDLE_SSE_RECORDER_H
#define STAVO_TESTS_BRINDLE_SSE_RECORDER_H

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "brindle.h"

namespace sse_test {

struct RecordedEvent {
  std::string event;
  std::string id;  // "<null>" when absent
  std::string data;
  size_t length_at_begin = 0;
  size_t length_at_end = 0;
  uint64_t retry = 0;
  int32_t has_retry = 0;
  bool ended = false;
};

struct Recorder {
  std::vector<RecordedEvent> events;
  std::string faults;  // empty deliveries, chunks outside events, mismatched lengths
  char fail_kind = 0;  // 'B', 'C' or 'E' fails on its fail_at-th call
  size_t fail_at = 0;
  int fail_code = 0;
  size_t calls_of_kind = 0;

  bool should_fail(char kind, brindle_error *error) {
    if (kind != fail_kind || ++calls_of_kind != fail_at) return false;
    if (fail_code != 0 && error != nullptr) {
      error->code = fail_code;
      snprintf(error->message, sizeof(error->message), "%s", "recorder failure");
    }
    return true;
  }

  static int begin(void *user, const brindle_sse_event *event, brindle_error *error) {
    auto *self = static_cast<Recorder *>(user);
    if (self->should_fail('B', error)) return 1;
    if (!self->events.empty() && !self->events.back().ended) self->faults += "begin-in-event;";
    RecordedEvent rec;
    rec.event = event->event;
    rec.id = event->id != nullptr ? event->id : "<null>";
    rec.length_at_begin = event->data_length;
    self->events.push_back(rec);
    return 0;
  }
  static int chunk(void *user, const char *bytes, size_t length, brindle_error *error) {
    auto *self = static_cast<Recorder *>(user);
    if (self->should_fail('C', error)) return 1;
    if (length == 0) self->faults += "empty-chunk;";
    if (self->events.empty() || self->events.back().ended) {
      self->faults += "chunk-outside-event;";
      return 0;
    }
    self->events.back().data.append(bytes, length);
    return 0;
  }
  static int end(void *user, const brindle_sse_event *event, brindle_error *error) {
    auto *self = static_cast<Recorder *>(user);
    if (self->should_fail('E', error)) return 1;
    if (self->events.empty() || self->events.back().ended) {
      self->faults += "end-without-begin;";
      return 0;
    }
    RecordedEvent &rec = self->events.back();
    rec.ended = true;
    rec.event = event->event;
    rec.id = event->id != nullptr ? event->id : "<null>";
    rec.length_at_end = event->data_length;
    rec.retry = event->retry;
    rec.has_retry = event->has_retry;
    if (rec.length_at_end != rec.data.size()) self->faults += "length-mismatch;";
    return 0;
  }
  brindle_sse_callbacks callbacks() const { return {&begin, &chunk, &end}; }
};

struct Outcome {
  brindle_status status = BRINDLE_OK;
  std::string message;
  bool failed_in_push = false;
  Recorder recorder;
};

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

inline Outcome parse(const std::string &stream, const Slicer &slicer,
                     const brindle_sse_options *options = nullptr, Recorder recorder = Recorder()) {
  Outcome outcome;
  outcome.recorder = std::move(recorder);
  brindle_error error;
  brindle_sse *parser = brindle_sse_open(options, &error);
  if (parser == nullptr) {
    outcome.status = static_cast<brindle_status>(error.code);
    outcome.message = error.message;
    outcome.failed_in_push = true;
    return outcome;
  }
  const brindle_sse_callbacks callbacks = outcome.recorder.callbacks();
  size_t at = 0;
  for (size_t slice : slicer(stream.size())) {
    brindle_status status =
        brindle_sse_push(parser, stream.data() + at, slice, &callbacks, &outcome.recorder, &error);
    at += slice;
    if (status != BRINDLE_OK) {
      outcome.status = status;
      outcome.message = error.message;
      outcome.failed_in_push = true;
      brindle_sse_close(parser);
      return outcome;
    }
  }
  outcome.status = brindle_sse_finish(parser, &callbacks, &outcome.recorder, &error);
  if (outcome.status != BRINDLE_OK) outcome.message = error.message;
  brindle_sse_close(parser);
  return outcome;
}

inline std::string summary(const Outcome &outcome) {
  std::string out = std::to_string(outcome.status) + "|" + outcome.message + "|" +
                    (outcome.failed_in_push ? "push" : "finish") + "|" + outcome.recorder.faults +
                    "|";
  for (const RecordedEvent &e : outcome.recorder.events) {
    out += "[" + e.event + "," + e.id + "," + e.data + "," + std::to_string(e.length_at_end) + "," +
           std::to_string(e.retry) + "," + std::to_string(e.has_retry) + "," +
           (e.ended ? "ended" : "open") + "]";
  }
  return out;
}

}  // namespace sse_test

#endif
