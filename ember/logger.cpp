// Logger handles. A root logger owns an output (destination, level, lock) that its children
// share by reference count, so either side can be destroyed first. A child keeps its inherited
// fields pre-rendered as JSON text, which makes logging through it a single copy.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "ember.h"
#include "record_builder.h"

struct ember_output {
  std::atomic<long> references;
  pthread_mutex_t lock;
  int32_t min_level;
  FILE *file;
  ember_write_fn write;
  void *write_user;
  int32_t include_time;
  int32_t write_newline;
};

struct ember_logger_state {
  ember_output *output;
  char *inherited;  // rendered ",\"key\":value..." of every inherited field
  size_t inherited_length;
};

namespace {

struct LoggerBlock {
  ember_logger handle;
  ember_logger_state state;
};

void output_release(ember_output *output) noexcept {
  if (output->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    pthread_mutex_destroy(&output->lock);
    output->~ember_output();
    std::free(output);
  }
}

void logger_destroy(ember_logger *self) noexcept {
  if (self == nullptr) return;
  LoggerBlock *block = reinterpret_cast<LoggerBlock *>(self);
  output_release(block->state.output);
  std::free(block->state.inherited);
  std::free(block);
}

LoggerBlock *logger_alloc(ember_output *output, char *inherited, size_t inherited_length) noexcept {
  LoggerBlock *block = static_cast<LoggerBlock *>(std::calloc(1, sizeof(LoggerBlock)));
  if (block == nullptr) return nullptr;
  block->handle.destroy = logger_destroy;
  block->handle.state = &block->state;
  block->state.output = output;
  block->state.inherited = inherited;
  block->state.inherited_length = inherited_length;
  return block;
}

void write_fd_fully(int fd, const char *data, size_t length) noexcept {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
}

void append_time(ember::RecordBuilder &record) noexcept {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts {};
  gmtime_r(&now.tv_sec, &parts);
  char text[40];
  int n = snprintf(text, sizeof(text), "\"time\":\"%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ\",",
                   parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                   parts.tm_min, parts.tm_sec, now.tv_nsec / 1000000L);
  if (n > 0) record.append(text, static_cast<size_t>(n));
}

void emit(ember_logger *logger, int level, const char *message, const ember_field *fields,
          size_t count) noexcept {
  if (logger == nullptr || message == nullptr || logger->state == nullptr) return;
  ember_logger_state *state = logger->state;
  ember_output *output = state->output;
  if (level < output->min_level) return;

  ember::RecordBuilder record;
  record.append('{');
  if (output->include_time) append_time(record);
  record.append_cstr("\"level\":\"");
  record.append_cstr(ember_level_name(level));
  record.append_cstr("\",\"message\":");
  record.append_json_string(message);
  record.append(state->inherited, state->inherited_length);
  if (fields != nullptr) {
    for (size_t i = 0; i < count; ++i)
      record.append_field(fields[i]);
  }
  record.append('}');
  if (output->write == nullptr || output->write_newline) record.append('\n');
  if (record.failed()) return;

  pthread_mutex_lock(&output->lock);
  if (output->write != nullptr) {
    output->write(output->write_user, record.data(), record.length());
  } else if (output->file != nullptr) {
    flockfile(output->file);
    fwrite(record.data(), 1, record.length(), output->file);
    fflush(output->file);
    funlockfile(output->file);
  } else {
    write_fd_fully(STDERR_FILENO, record.data(), record.length());
  }
  pthread_mutex_unlock(&output->lock);
}

}  // namespace

extern "C" {

EMBER_API void ember_default_config(ember_config *config) noexcept {
  if (config == nullptr) return;
  std::memset(config, 0, sizeof(*config));
  config->min_level = EMBER_LEVEL_INFO;
  config->include_time = 1;
  config->write_newline = 1;
}

EMBER_API ember_logger *ember_new(const ember_config *config) noexcept {
  ember_config defaults;
  ember_default_config(&defaults);
  if (config == nullptr) config = &defaults;

  void *memory = std::calloc(1, sizeof(ember_output));
  if (memory == nullptr) return nullptr;
  ember_output *output = new (memory) ember_output{};
  output->references.store(1);
  if (pthread_mutex_init(&output->lock, nullptr) != 0) {
    std::free(memory);
    return nullptr;
  }
  output->min_level = config->min_level;
  output->file = config->file;
  output->write = config->write;
  output->write_user = config->write_user;
  output->include_time = config->include_time;
  output->write_newline = config->write_newline;

  LoggerBlock *block = logger_alloc(output, nullptr, 0);
  if (block == nullptr) {
    output_release(output);
    return nullptr;
  }
  return &block->handle;
}

EMBER_API ember_logger *ember_with(ember_logger *base, const ember_field *fields,
                                   size_t count) noexcept {
  if (base == nullptr || base->state == nullptr || (fields == nullptr && count != 0)) {
    return nullptr;
  }
  ember_logger_state *parent = base->state;
  ember::RecordBuilder rendered;
  rendered.append(parent->inherited, parent->inherited_length);
  for (size_t i = 0; i < count; ++i)
    rendered.append_field(fields[i]);
  size_t length = 0;
  char *inherited = rendered.release(&length);
  if (inherited == nullptr) return nullptr;

  parent->output->references.fetch_add(1, std::memory_order_relaxed);
  LoggerBlock *block = logger_alloc(parent->output, inherited, length);
  if (block == nullptr) {
    output_release(parent->output);
    std::free(inherited);
    return nullptr;
  }
  return &block->handle;
}

EMBER_API void ember_destroy(ember_logger *logger) noexcept {
  if (logger != nullptr && logger->destroy != nullptr) logger->destroy(logger);
}

EMBER_API int ember_min_level(const ember_logger *logger) noexcept {
  if (logger == nullptr || logger->state == nullptr) return EMBER_LEVEL_OFF;
  return logger->state->output->min_level;
}

EMBER_API const char *ember_level_name(int level) noexcept {
  switch (level) {
    case EMBER_LEVEL_TRACE:
      return "trace";
    case EMBER_LEVEL_DEBUG:
      return "debug";
    case EMBER_LEVEL_INFO:
      return "info";
    case EMBER_LEVEL_WARN:
      return "warn";
    case EMBER_LEVEL_ERROR:
      return "error";
    default:
      return "unknown";
  }
}

EMBER_API void ember_trace(ember_logger *logger, const char *message, const ember_field *fields,
                           size_t count) noexcept {
  emit(logger, EMBER_LEVEL_TRACE, message, fields, count);
}

EMBER_API void ember_debug(ember_logger *logger, const char *message, const ember_field *fields,
                           size_t count) noexcept {
  emit(logger, EMBER_LEVEL_DEBUG, message, fields, count);
}

EMBER_API void ember_info(ember_logger *logger, const char *message, const ember_field *fields,
                          size_t count) noexcept {
  emit(logger, EMBER_LEVEL_INFO, message, fields, count);
}

EMBER_API void ember_warn(ember_logger *logger, const char *message, const ember_field *fields,
                          size_t count) noexcept {
  emit(logger, EMBER_LEVEL_WARN, message, fields, count);
}

EMBER_API void ember_error(ember_logger *logger, const char *message, const ember_field *fields,
                           size_t count) noexcept {
  emit(logger, EMBER_LEVEL_ERROR, message, fields, count);
}

}  // extern "C"
