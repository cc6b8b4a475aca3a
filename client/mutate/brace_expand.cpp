// Brace forms: "/x/{a=1,b=two}" stands for "/x/a=1" and "/x/b=two". Items are split at ',' or
// a line feed outside quotes and nested braces; each prefix + item is a whole new expression.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "mutation_internal.h"

namespace sv_mutation_impl {
namespace {

// Nested brace forms beyond this are refused, so a hostile expression cannot exhaust the stack.
constexpr unsigned kMaxBraceDepth = 32;
// Expansion repeats the prefix for every item; the texts made for one plan stay below this.
constexpr size_t kMaxExpandedBytes = 64u << 20;

bool is_space(char c) noexcept {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Parses prefix + the trimmed item when it is not empty.
int parse_item(Text prefix, Text item, const sv_mutation_parse_options *options,
               sv_mutation_plan *plan, unsigned depth, sv_error *error) noexcept {
  while (item.size > 0 && is_space(item.data[0])) {
    ++item.data;
    --item.size;
  }
  while (item.size > 0 && is_space(item.data[item.size - 1]))
    --item.size;
  if (item.size == 0) return SV_OK;
  plan->expanded_bytes += prefix.size + item.size;
  if (plan->expanded_bytes > kMaxExpandedBytes) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "brace mutation expands beyond 64 MiB", nullptr,
                        nullptr, nullptr);
  }
  char *expression = static_cast<char *>(std::malloc(prefix.size + item.size + 1));
  if (expression == nullptr) {
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate brace mutation", nullptr,
                        nullptr, nullptr);
  }
  std::memcpy(expression, prefix.data, prefix.size);
  std::memcpy(expression + prefix.size, item.data, item.size);
  expression[prefix.size + item.size] = '\0';
  const int status =
      parse_expression({expression, prefix.size + item.size}, options, plan, depth + 1, error);
  std::free(expression);
  return status;
}

}  // namespace

int expand_braces(Text rest, const sv_mutation_parse_options *options, sv_mutation_plan *plan,
                  unsigned depth, sv_error *error) noexcept {
  if (depth >= kMaxBraceDepth) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "brace mutation nests too deeply", nullptr,
                        nullptr, nullptr);
  }
  const char *open = static_cast<const char *>(std::memchr(rest.data, '{', rest.size));
  const Text prefix{rest.data, static_cast<size_t>(open - rest.data)};
  const char *body = open + 1;
  const char *body_end = rest.data + rest.size - 1;  // the final '}'
  bool single = false;
  bool dual = false;
  long braces = 0;
  const char *item = body;
  for (const char *p = body; p < body_end; ++p) {
    const char c = *p;
    if (c == '\\') {
      if (p + 1 < body_end) ++p;
      continue;
    }
    if (c == '\'' && !dual) {
      single = !single;
    } else if (c == '"' && !single) {
      dual = !dual;
    } else if (!single && !dual && c == '{') {
      ++braces;
    } else if (!single && !dual && c == '}') {
      --braces;
    } else if (!single && !dual && braces == 0 && (c == ',' || c == '\n')) {
      const int status =
          parse_item(prefix, {item, static_cast<size_t>(p - item)}, options, plan, depth, error);
      if (status != SV_OK) return status;
      item = p + 1;
    }
  }
  return parse_item(prefix, {item, static_cast<size_t>(body_end - item)}, options, plan, depth,
                    error);
}

}  // namespace sv_mutation_impl
