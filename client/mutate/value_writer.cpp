// Writing a mutation's value into the output: scalars through the serializer (so the text is
// exactly the serializer's), file-backed values streamed from disk as text or base64.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "brindle_io.h"
#include "mutation_internal.h"

namespace sv_mutation_impl {
namespace {

struct StringBox {
  char *v;
};
struct IntBox {
  int64_t v;
};
struct DoubleBox {
  double v;
};
struct SourceBox {
  brindle_source v;
};

const brindle_field kStringFields[] = {BRINDLE_DECL_STRING(StringBox, v, "v", 0)};
const brindle_field kIntFields[] = {BRINDLE_DECL_I64(IntBox, v, "v", 0)};
const brindle_field kDoubleFields[] = {BRINDLE_DECL_F64(DoubleBox, v, "v", 0)};
const brindle_field kTextFields[] = {
    BRINDLE_DECL_SOURCE(SourceBox, v, "v", BRINDLE_FIELD_SOURCE_TEXT, 0)};
const brindle_field kBytesFields[] = {
    BRINDLE_DECL_SOURCE(SourceBox, v, "v", BRINDLE_FIELD_SOURCE_BYTES, 0)};
const brindle_map kStringMap = BRINDLE_MAP("sv_mutation_string_json", StringBox, kStringFields);
const brindle_map kIntMap = BRINDLE_MAP("sv_mutation_integer_json", IntBox, kIntFields);
const brindle_map kDoubleMap = BRINDLE_MAP("sv_mutation_number_json", DoubleBox, kDoubleFields);
const brindle_map kTextMap = BRINDLE_MAP("sv_mutation_textfile_json", SourceBox, kTextFields);
const brindle_map kBytesMap = BRINDLE_MAP("sv_mutation_base64file_json", SourceBox, kBytesFields);

constexpr char kWrapperHead[] = "{\"v\":";
constexpr size_t kWrapperHeadSize = 5;
constexpr size_t kFileChunk = 65536;

// Passes on what the serializer writes between {"v": and the final }.
struct Unwrap {
  ValueOutput *output;
  size_t head_seen = 0;
  bool held = false;  // one byte held back: it may be the closing brace
  char last = 0;
  bool shape_ok = true;
  bool write_failed = false;
};

brindle_status unwrap_sink(void *user, const char *bytes, size_t length,
                           brindle_error *error) noexcept {
  auto *unwrap = static_cast<Unwrap *>(user);
  while (length > 0 && unwrap->head_seen < kWrapperHeadSize) {
    if (*bytes != kWrapperHead[unwrap->head_seen]) {
      unwrap->shape_ok = false;
      std::snprintf(error->message, sizeof error->message, "%s",
                    "unexpected brindle scalar wrapper shape");
      error->code = BRINDLE_INVALID_JSON;
      return BRINDLE_INVALID_JSON;
    }
    ++unwrap->head_seen;
    ++bytes;
    --length;
  }
  if (length == 0) return BRINDLE_OK;
  if (unwrap->held && !output_write(unwrap->output, &unwrap->last, 1)) {
    unwrap->write_failed = true;
    return BRINDLE_IO_ERROR;
  }
  if (length > 1 && !output_write(unwrap->output, bytes, length - 1)) {
    unwrap->write_failed = true;
    return BRINDLE_IO_ERROR;
  }
  unwrap->last = bytes[length - 1];
  unwrap->held = true;
  return BRINDLE_OK;
}

// Serialises record through map into the output, unwrapped; message names the failure.
int serialize_unwrapped(ValueOutput *output, const brindle_map *map, const void *record,
                        const char *message) noexcept {
  Unwrap unwrap{output};
  brindle_error brindle_failure;
  brindle_error_init(&brindle_failure);
  const brindle_status status =
      brindle_serialize_sink(map, record, unwrap_sink, &unwrap, nullptr, &brindle_failure);
  if (unwrap.write_failed) return output->error->code;  // the output write set the error
  if (!unwrap.shape_ok || (status == BRINDLE_OK && (unwrap.head_seen != kWrapperHeadSize ||
                                                    !unwrap.held || unwrap.last != '}'))) {
    return sv_error_set(output->error, SV_ERR_INVALID, 0, "unexpected brindle scalar wrapper shape",
                        nullptr, nullptr, nullptr);
  }
  if (status != BRINDLE_OK) {
    return sv_brindle_error_from_status(output->error, status, &brindle_failure, message);
  }
  return SV_OK;
}

int fail_system(sv_error *error, const char *message, int number) noexcept {
  return sv_error_set(error, SV_ERR_TRANSPORT, 0, message, std::strerror(number), nullptr, nullptr);
}

// Serialises a file through a source field: text (kind 2) or base64 (kind 3).
int serialize_file(ValueOutput *output, FILE *file, uint32_t kind) noexcept {
  const bool text = kind == SV_MUTATION_FILE_TEXT;
  SourceBox box{};
  brindle_source_init(&box.v);
  brindle_error brindle_failure;
  brindle_error_init(&brindle_failure);
  const brindle_status set = brindle_source_set_file(&box.v, file, &brindle_failure);
  if (set != BRINDLE_OK) {
    brindle_source_cleanup(&box.v);
    return sv_brindle_error_from_status(
        output->error, set, &brindle_failure,
        text ? "failed to open textfile mutation" : "failed to open base64file mutation");
  }
  const int status = serialize_unwrapped(
      output, text ? &kTextMap : &kBytesMap, &box,
      text ? "failed to serialize textfile mutation" : "failed to serialize base64file mutation");
  brindle_source_cleanup(&box.v);
  return status;
}

// base64file: without an opener: straight from the path.
int write_base64_path(ValueOutput *output, const char *path) noexcept {
  SourceBox box{};
  brindle_source_init(&box.v);
  brindle_error brindle_failure;
  brindle_error_init(&brindle_failure);
  const brindle_status set = brindle_source_set_path(&box.v, path, &brindle_failure);
  if (set != BRINDLE_OK) {
    brindle_source_cleanup(&box.v);
    return sv_brindle_error_from_status(output->error, set, &brindle_failure,
                                        "failed to open base64file mutation");
  }
  const int status =
      serialize_unwrapped(output, &kBytesMap, &box, "failed to serialize base64file mutation");
  brindle_source_cleanup(&box.v);
  return status;
}

// Copies the opened source into spool, checking UTF-8 for file: and textfile:. *kind becomes
// the form to write (file: turns into textfile: or base64file:).
int spool_source(ValueOutput *output, sv_source *source, FILE *spool, uint32_t *kind) noexcept {
  char *buffer = static_cast<char *>(std::malloc(kFileChunk));
  if (buffer == nullptr) {
    return sv_error_set(output->error, SV_ERR_NOMEM, 0,
                        "failed to allocate file-backed mutation buffer", nullptr, nullptr,
                        nullptr);
  }
  Utf8Check check;
  bool checking = *kind != SV_MUTATION_FILE_BASE64;
  int status = SV_OK;
  for (;;) {
    sv_error read_error;
    sv_error_init(&read_error);
    const size_t got = source->read(source, buffer, kFileChunk, &read_error);
    if (got == 0) {
      if (read_error.code != SV_OK) {
        status = read_error.code;
        sv_error_cleanup(output->error);
        *output->error = read_error;
      } else {
        sv_error_cleanup(&read_error);
      }
      break;
    }
    if (checking) {
      utf8_feed(&check, reinterpret_cast<const unsigned char *>(buffer), got);
      if (!check.ok) {
        if (*kind == SV_MUTATION_FILE_TEXT) {
          status = sv_error_set(output->error, SV_ERR_INVALID, 0,
                                "invalid UTF-8 in textfile mutation", nullptr, nullptr, nullptr);
          break;
        }
        checking = false;
        *kind = SV_MUTATION_FILE_BASE64;
      }
    }
    if (std::fwrite(buffer, 1, got, spool) != got) {
      status = fail_system(output->error, "failed to write mutate stream output", errno);
      break;
    }
  }
  std::free(buffer);
  if (status != SV_OK) return status;
  if (checking && !utf8_finished(check)) {
    if (*kind == SV_MUTATION_FILE_TEXT) {
      return sv_error_set(output->error, SV_ERR_INVALID, 0, "invalid UTF-8 in textfile mutation",
                          nullptr, nullptr, nullptr);
    }
    *kind = SV_MUTATION_FILE_BASE64;
  } else if (checking) {
    *kind = SV_MUTATION_FILE_TEXT;
  }
  return SV_OK;
}

int write_file_value(ValueOutput *output, const sv_mutation *mutation) noexcept {
  if (mutation->file_kind == SV_MUTATION_FILE_BASE64 && mutation->file_opener == nullptr) {
    return write_base64_path(output, mutation->file_path);
  }
  sv_source *source = nullptr;
  int status = SV_OK;
  if (mutation->file_opener != nullptr && mutation->file_opener->open != nullptr) {
    status = mutation->file_opener->open(mutation->file_opener->context, mutation->file_path,
                                         &source, output->error);
    if (status == SV_OK && source == nullptr) {
      status = sv_error_set(output->error, SV_ERR_INVALID, 0, "file opener returned no source",
                            mutation->file_path, nullptr, nullptr);
    }
  } else {
    status = sv_source_from_file(mutation->file_path, &source, output->error);
  }
  if (status != SV_OK) return status;
  FILE *spool = std::tmpfile();
  if (spool == nullptr) {
    const int number = errno;
    sv_source_close(source);
    return fail_system(output->error, "failed to create file-backed mutation spool", number);
  }
  uint32_t kind = mutation->file_kind;
  status = spool_source(output, source, spool, &kind);
  sv_source_close(source);
  if (status == SV_OK && (std::fflush(spool) != 0 || std::fseek(spool, 0, SEEK_SET) != 0)) {
    status = fail_system(output->error, "failed to rewind file-backed mutation spool", errno);
  }
  if (status == SV_OK) status = serialize_file(output, spool, kind);
  std::fclose(spool);
  return status;
}

}  // namespace

bool output_write(ValueOutput *output, const char *bytes, size_t length) noexcept {
  if (output->out == nullptr) {
    sv_error_set(output->error, SV_ERR_INVALID, 0, "invalid mutate output stream", nullptr, nullptr,
                 nullptr);
    return false;
  }
  if (length == 0) return true;
  if (output->buffer != nullptr && length <= output->capacity - output->used) {
    std::memcpy(output->buffer + output->used, bytes, length);
    output->used += length;
    return true;
  }
  if (!output_flush(output)) return false;
  if (output->buffer != nullptr && length < output->capacity) {
    std::memcpy(output->buffer, bytes, length);
    output->used = length;
    return true;
  }
  if (std::fwrite(bytes, 1, length, output->out) == length) return true;
  fail_system(output->error, "failed to write mutate output", errno);
  return false;
}

bool output_flush(ValueOutput *output) noexcept {
  if (output->used == 0) return true;
  const size_t used = output->used;
  output->used = 0;
  if (std::fwrite(output->buffer, 1, used, output->out) == used) return true;
  fail_system(output->error, "failed to write mutate output", errno);
  return false;
}

bool output_escaped(ValueOutput *output, const char *bytes, size_t length) noexcept {
  size_t plain = 0;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    if (!output_write(output, bytes + plain, i - plain)) return false;
    char escape[8];
    size_t size = 2;
    escape[0] = '\\';
    switch (c) {
      case '"':
        escape[1] = '"';
        break;
      case '\\':
        escape[1] = '\\';
        break;
      case '\b':
        escape[1] = 'b';
        break;
      case '\f':
        escape[1] = 'f';
        break;
      case '\n':
        escape[1] = 'n';
        break;
      case '\r':
        escape[1] = 'r';
        break;
      case '\t':
        escape[1] = 't';
        break;
      default:
        std::snprintf(escape, sizeof escape, "\\u%04x", c);
        size = 6;
    }
    if (!output_write(output, escape, size)) return false;
    plain = i + 1;
  }
  return output_write(output, bytes + plain, length - plain);
}

int write_double(ValueOutput *output, double value) noexcept {
  if (!std::isfinite(value)) {
    return sv_error_set(output->error, SV_ERR_INVALID, 0, "mutation produced non-finite number",
                        nullptr, nullptr, nullptr);
  }
  const DoubleBox box{value};
  return serialize_unwrapped(output, &kDoubleMap, &box, "failed to serialize mutate number");
}

int write_integer(ValueOutput *output, int64_t value) noexcept {
  const IntBox box{value};
  return serialize_unwrapped(output, &kIntMap, &box, "failed to serialize mutate integer");
}

int write_mutation_value(ValueOutput *output, const sv_mutation *mutation) noexcept {
  if (mutation->kind == SV_MUTATION_INCREMENT) {
    return mutation->has_int_delta != 0 ? write_integer(output, mutation->int_delta)
                                        : write_double(output, mutation->delta);
  }
  if (mutation->kind != SV_MUTATION_SET) {
    return sv_error_set(output->error, SV_ERR_INVALID, 0, "unsupported mutation kind", nullptr,
                        nullptr, nullptr);
  }
  switch (mutation->value_kind) {
    case SV_MUTATION_VALUE_STRING: {
      const StringBox box{mutation->string_value};
      return serialize_unwrapped(output, &kStringMap, &box, "failed to serialize mutate string");
    }
    case SV_MUTATION_VALUE_INT:
      return write_integer(output, mutation->int_value);
    case SV_MUTATION_VALUE_DOUBLE:
      return write_double(output, mutation->double_value);
    case SV_MUTATION_VALUE_BOOL: {
      const char *literal = mutation->bool_value != 0 ? "true" : "false";
      return output_write(output, literal, std::strlen(literal)) ? SV_OK : output->error->code;
    }
    case SV_MUTATION_VALUE_NULL:
      return output_write(output, "null", 4) ? SV_OK : output->error->code;
    case SV_MUTATION_VALUE_FILE:
      return write_file_value(output, mutation);
    default:
      return sv_error_set(output->error, SV_ERR_INVALID, 0, "unsupported mutation value type",
                          nullptr, nullptr, nullptr);
  }
}

}  // namespace sv_mutation_impl
