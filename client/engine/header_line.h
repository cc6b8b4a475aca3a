// One response header line as libcurl hands it to a header callback, split once for every
// transfer: the status line's code, or a header's name and value.
#ifndef STAVOC_ENGINE_HEADER_LINE_H
#define STAVOC_ENGINE_HEADER_LINE_H

#include <cstddef>

struct sv_engine_header_line {
  long status = 0;             // the code of a status line ("HTTP/1.1 200 OK"), else 0
  const char *name = nullptr;  // a header's name (not NUL-terminated); NULL for other lines
  size_t name_length = 0;
  const char *value = nullptr;  // the value after the colon: no leading blanks, no CR/LF
  size_t value_length = 0;      // up to the line end (trailing blanks kept)
  size_t trimmed_length = 0;    // without trailing blanks too

  // The header's name is `header`, in any letter case.
  bool is(const char *header) const noexcept;
};

sv_engine_header_line sv_engine_split_header_line(const char *line, size_t length) noexcept;

// An ETag value without the double quotes around it (ETags have one form everywhere); the span
// [*start, *end) is narrowed in place.
void sv_engine_unquote_etag(const char **start, const char **end) noexcept;

#endif
