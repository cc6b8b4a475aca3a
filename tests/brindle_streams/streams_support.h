// Shared pieces of the stream tests: a record type for array elements and NDJSON objects, readers
// over memory that hand out input in pieces of chosen sizes, and helpers that run a document
// through the array stream in pull or push form and return what came out as text.
#ifndef STAVO_TESTS_BRINDLE_STREAMS_SUPPORT_H
#define STAVO_TESTS_BRINDLE_STREAMS_SUPPORT_H

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "brindle.h"

namespace streams_test {

struct Item {
  int64_t id;
  char *name;
  brindle_array tags;
  char code[4];
};

inline const brindle_field kItemFields[] = {
    BRINDLE_DECL_I64(Item, id, "id", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_STRING(Item, name, "name", 0),
    BRINDLE_DECL_ARRAY(Item, tags, "tags", BRINDLE_FIELD_STRING_ARRAY, 0),
    BRINDLE_DECL_FIXED_STRING(Item, code, "code", 0, BRINDLE_OVERFLOW_TRUNCATE),
};
inline const brindle_map kItemMap = BRINDLE_MAP("item_json", Item, kItemFields);

// One line of text per element, so that whole runs compare with ==.
inline std::string describe(const Item &item) {
  std::string text = std::to_string(item.id) + "|" + (item.name != nullptr ? item.name : "<null>");
  text += "|";
  for (size_t i = 0; i < item.tags.count; ++i) {
    if (i > 0) text += ",";
    text += static_cast<char **>(item.tags.items)[i];
  }
  text += "|";
  text += item.code;
  return text;
}

// Hands out text in pieces: pieces[i] bytes for the i-th read (the last size repeats), never more
// than the reader's capacity. With eof_with_data the last piece carries eof; otherwise eof comes
// in a read of its own. Every would_block_every-th read (0: never) reports would-block first.
struct MemoryReader {
  std::string text;
  std::vector<size_t> pieces{1024};
  bool eof_with_data = false;
  size_t would_block_every = 0;
  size_t position = 0;
  size_t reads = 0;
  size_t blocked = 0;
  bool block_next = false;

  static brindle_read_result read(void *user, char *buffer, size_t capacity) {
    auto *self = static_cast<MemoryReader *>(user);
    brindle_read_result result = brindle_default_read_result();
    if (self->would_block_every != 0 && self->position < self->text.size()) {
      if (self->block_next) {
        self->block_next = false;
        ++self->blocked;
        result.would_block = 1;
        return result;
      }
    }
    const size_t index = std::min(self->reads, self->pieces.size() - 1);
    ++self->reads;
    if (self->would_block_every != 0 && self->reads % self->would_block_every == 0) {
      self->block_next = true;
    }
    size_t length = std::min({self->pieces[index], capacity, self->text.size() - self->position});
    std::memcpy(buffer, self->text.data() + self->position, length);
    self->position += length;
    result.bytes = length;
    if (self->position == self->text.size() && (self->eof_with_data || length == 0)) {
      result.eof = 1;
    }
    return result;
  }
};

// What a run through the array stream produced.
struct Outcome {
  std::vector<std::string> items;
  int result = -1;                     // pull: the last result; push: unused
  brindle_status status = BRINDLE_OK;  // push: the first failing status, or the finish status
  brindle_error error{};
};

inline std::string where(const brindle_error &error) {
  return std::string(error.message) + " @" + std::to_string(error.offset) + ":" +
         std::to_string(error.line) + ":" + std::to_string(error.column);
}

// Pull with next(): items until END or ERROR (at most limit calls).
inline Outcome pull_mapped(const char *field, MemoryReader reader,
                           const brindle_parse_options *options = nullptr,
                           size_t limit = 1u << 30) {
  Outcome run;
  brindle_array_stream *stream =
      brindle_array_stream_open_reader(field, MemoryReader::read, &reader, options, &run.error);
  if (stream == nullptr) return run;
  Item item{};
  for (size_t calls = 0; calls < limit; ++calls) {
    run.result = brindle_array_stream_next(stream, &kItemMap, &item, &run.error);
    if (run.result == BRINDLE_ARRAY_STREAM_ITEM) {
      run.items.push_back(describe(item));
      continue;
    }
    if (run.result != BRINDLE_ARRAY_STREAM_NEED_INPUT) break;
  }
  brindle_cleanup(&kItemMap, &item);
  brindle_array_stream_close(stream);
  return run;
}

// Pull with next_value(): the compact text of every element.
inline Outcome pull_values(const char *field, MemoryReader reader,
                           const brindle_parse_options *options = nullptr) {
  Outcome run;
  brindle_array_stream *stream =
      brindle_array_stream_open_reader(field, MemoryReader::read, &reader, options, &run.error);
  if (stream == nullptr) return run;
  brindle_json_value value;
  brindle_json_value_init(&value);
  for (;;) {
    run.result = brindle_array_stream_next_value(stream, &value, &run.error);
    if (run.result == BRINDLE_ARRAY_STREAM_ITEM) {
      run.items.emplace_back(value.buffer, value.length);
      continue;
    }
    if (run.result != BRINDLE_ARRAY_STREAM_NEED_INPUT) break;
  }
  brindle_json_value_cleanup(&value);
  brindle_array_stream_close(stream);
  return run;
}

inline Outcome pull_values_text(const char *field, const std::string &text, size_t piece = 1024,
                                const brindle_parse_options *options = nullptr) {
  MemoryReader reader;
  reader.text = text;
  reader.pieces = {piece};
  return pull_values(field, reader, options);
}

// The lengths of consecutive slices of a text of size bytes cut at the given positions.
inline std::vector<size_t> cut(size_t size, std::vector<size_t> cuts) {
  std::sort(cuts.begin(), cuts.end());
  std::vector<size_t> slices;
  size_t start = 0;
  for (size_t at : cuts) {
    if (at < start || at > size) continue;
    slices.push_back(at - start);
    start = at;
  }
  slices.push_back(size - start);
  return slices;
}

inline std::vector<size_t> every(size_t size, size_t piece) {
  std::vector<size_t> slices;
  for (size_t start = 0; start < size; start += piece)
    slices.push_back(std::min(piece, size - start));
  return slices;
}

enum class PushMode { Mapped, Chunks, Items };

struct PushContext {
  Outcome *run;
  std::string current;
  bool in_item = false;
};

inline int collect_item(void *user, void *destination) {
  auto *context = static_cast<PushContext *>(user);
  context->run->items.push_back(describe(*static_cast<Item *>(destination)));
  return 0;
}
inline int collect_string(void *user, const char *text, size_t length) {
  auto *context = static_cast<PushContext *>(user);
  context->run->items.emplace_back(text, length);
  return 0;
}
inline brindle_status chunk_begin(void *user, brindle_error *) {
  auto *context = static_cast<PushContext *>(user);
  if (context->in_item) return BRINDLE_INTERNAL_ERROR;  // begin twice without end
  context->in_item = true;
  context->current.clear();
  return BRINDLE_OK;
}
inline brindle_status chunk_bytes(void *user, const char *bytes, size_t length, brindle_error *) {
  auto *context = static_cast<PushContext *>(user);
  if (!context->in_item || length == 0) return BRINDLE_INTERNAL_ERROR;
  context->current.append(bytes, length);
  return BRINDLE_OK;
}
inline brindle_status chunk_end(void *user, brindle_error *) {
  auto *context = static_cast<PushContext *>(user);
  if (!context->in_item) return BRINDLE_INTERNAL_ERROR;
  context->in_item = false;
  context->run->items.push_back(context->current);
  return BRINDLE_OK;
}
inline const brindle_array_string_handlers kCollectHandlers{chunk_begin, chunk_bytes, chunk_end};

// Push the text in the given slices, then finish. Stops at the first failing call.
inline Outcome push_text(PushMode mode, const char *field, const std::string &text,
                         const std::vector<size_t> &slices,
                         const brindle_parse_options *options = nullptr) {
  Outcome run;
  brindle_array_stream *stream = brindle_array_stream_open_push(field, options, &run.error);
  if (stream == nullptr) return run;
  PushContext context{&run, {}, false};
  Item item{};
  if (options == nullptr || options->clear_destination != 0) brindle_init(&kItemMap, &item);
  size_t start = 0;
  brindle_status status = BRINDLE_OK;
  auto failed = [](brindle_status s) { return s != BRINDLE_OK && s != BRINDLE_TRUNCATED; };
  for (size_t slice : slices) {
    const char *bytes = text.data() + start;
    switch (mode) {
      case PushMode::Mapped:
        status = brindle_array_stream_push(stream, &kItemMap, &item, bytes, slice, collect_item,
                                           &context, &run.error);
        break;
      case PushMode::Chunks:
        status = brindle_array_stream_push_string(stream, bytes, slice, &kCollectHandlers, &context,
                                                  &run.error);
        break;
      case PushMode::Items:
        status = brindle_array_stream_push_string_items(stream, bytes, slice, collect_string,
                                                        &context, &run.error);
        break;
    }
    start += slice;
    if (failed(status)) break;
  }
  if (!failed(status)) {
    switch (mode) {
      case PushMode::Mapped:
        status = brindle_array_stream_finish(stream, &kItemMap, &item, collect_item, &context,
                                             &run.error);
        break;
      case PushMode::Chunks:
        status =
            brindle_array_stream_finish_string(stream, &kCollectHandlers, &context, &run.error);
        break;
      case PushMode::Items:
        status =
            brindle_array_stream_finish_string_items(stream, collect_string, &context, &run.error);
        break;
    }
  }
  run.status = status;
  brindle_cleanup(&kItemMap, &item);
  brindle_array_stream_close(stream);
  return run;
}

inline Outcome push_whole(PushMode mode, const char *field, const std::string &text,
                          const brindle_parse_options *options = nullptr) {
  return push_text(mode, field, text, {text.size()}, options);
}

}  // namespace streams_test

#endif
