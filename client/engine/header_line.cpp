// Splits response header lines for the transfers' header callbacks.
#include "header_line.h"

#include <cstdio>
#include <cstring>

#include "stavoc_engine.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

bool is_line_end(char c) {
  return c == '\r' || c == '\n';
}

}  // namespace

bool sv_engine_header_line::is(const char *header) const noexcept {
  return name != nullptr && sv_engine_header_name_equals(name, name_length, header) != 0;
}

sv_engine_header_line sv_engine_split_header_line(const char *line, size_t length) noexcept {
  sv_engine_header_line split;
  if (line == nullptr) return split;
  if (length >= 5 && std::memcmp(line, "HTTP/", 5) == 0) {
    char status_line[64];
    const size_t copied = length < sizeof(status_line) - 1 ? length : sizeof(status_line) - 1;
    std::memcpy(status_line, line, copied);
    status_line[copied] = '\0';
    long status = 0;
    // Interim 1xx lines come first; the final status line overrides them.
    if (std::sscanf(status_line, "%*s %ld", &status) == 1) split.status = status;
    return split;
  }
  const char *colon = static_cast<const char *>(std::memchr(line, ':', length));
  if (colon == nullptr) return split;
  split.name = line;
  split.name_length = static_cast<size_t>(colon - line);
  const char *start = colon + 1;
  const char *end = line + length;
  while (start < end && is_blank(*start))
    ++start;
  while (end > start && is_line_end(end[-1]))
    --end;
  split.value = start;
  split.value_length = static_cast<size_t>(end - start);
  while (end > start && is_blank(end[-1]))
    --end;
  split.trimmed_length = static_cast<size_t>(end - start);
  return split;
}

void sv_engine_unquote_etag(const char **start, const char **end) noexcept {
  if (*end - *start >= 2 && **start == '"' && (*end)[-1] == '"') {
    ++*start;
    --*end;
  }
}
