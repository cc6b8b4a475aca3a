// Mutation plans: building a plan from expressions, parsing one expression, and freeing.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "mutation_internal.h"

namespace sv_mutation_impl {
namespace {

int fail(sv_error *error, int code, const char *message, const char *detail) noexcept {
  return sv_error_set(error, code, 0, message, detail, nullptr, nullptr);
}

// A NUL-terminated copy of text (std::malloc; nullptr when out of memory).
char *copy_text(Text text) noexcept {
  char *copy = static_cast<char *>(std::malloc(text.size + 1));
  if (copy == nullptr) return nullptr;
  if (text.size > 0) std::memcpy(copy, text.data, text.size);
  copy[text.size] = '\0';
  return copy;
}

bool starts_with(Text text, const char *prefix) noexcept {
  const size_t length = std::strlen(prefix);
  return text.size >= length && std::memcmp(text.data, prefix, length) == 0;
}

Text drop(Text text, size_t count) noexcept {
  return {text.data + count, text.size - count};
}

bool is_space(char c) noexcept {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

Text trim(Text text) noexcept {
  while (text.size > 0 && is_space(text.data[0]))
    text = drop(text, 1);
  while (text.size > 0 && is_space(text.data[text.size - 1]))
    --text.size;
  return text;
}

// One pair of matching single or double quotes around at least nothing is removed.
Text unquote(Text text) noexcept {
  if (text.size >= 2 && (text.data[0] == '"' || text.data[0] == '\'') &&
      text.data[text.size - 1] == text.data[0]) {
    return {text.data + 1, text.size - 2};
  }
  return text;
}

bool equals_nocase(const char *text, const char *word) noexcept {
  for (; *text != '\0' && *word != '\0'; ++text, ++word) {
    if (std::tolower(static_cast<unsigned char>(*text)) != *word) return false;
  }
  return *text == '\0' && *word == '\0';
}

// The whole of text as one double without range error.
bool whole_double(const char *text, double *out) noexcept {
  if (*text == '\0') return false;
  errno = 0;
  char *end = nullptr;
  const double value = std::strtod(text, &end);
  if (*end != '\0' || errno == ERANGE) return false;
  *out = value;
  return true;
}

// A bare number without surrounding white space is an increment; padding stores it instead.
enum class Delta { none, found, failed };
Delta numeric_delta(Text value, Text path, sv_mutation *mutation, sv_error *error) noexcept {
  if (value.size == 0 || is_space(value.data[0]) || is_space(value.data[value.size - 1])) {
    return Delta::none;
  }
  if (std::memchr(value.data, '\0', value.size) != nullptr) return Delta::none;
  char *copy = copy_text(value);
  if (copy == nullptr) {
    fail(error, SV_ERR_NOMEM, "failed to allocate mutation expression", nullptr);
    return Delta::failed;
  }
  double number = 0;
  int64_t integer = 0;
  const bool numeric = whole_double(copy, &number);
  const bool integral = numeric && decimal_int64(copy, true, &integer);
  std::free(copy);
  if (!numeric) return Delta::none;
  char *detail = copy_text(path);
  if (number == 0) {
    fail(error, SV_ERR_INVALID, "increment mutation requires non-zero delta", detail);
  } else if (!std::isfinite(number)) {
    fail(error, SV_ERR_INVALID, "increment mutation requires a finite delta", detail);
  }
  std::free(detail);
  if (number == 0 || !std::isfinite(number)) return Delta::failed;
  mutation->kind = SV_MUTATION_INCREMENT;
  mutation->delta = number;
  mutation->int_delta = integer;
  mutation->has_int_delta = integral ? 1 : 0;
  return Delta::found;
}

// Classifies a trimmed, unquoted literal (a NUL-terminated copy the mutation takes over).
void classify_literal(char *literal, sv_mutation *mutation) noexcept {
  double number = 0;
  if (equals_nocase(literal, "true") || equals_nocase(literal, "false")) {
    mutation->value_kind = SV_MUTATION_VALUE_BOOL;
    mutation->bool_value = equals_nocase(literal, "true") ? 1 : 0;
    std::free(literal);
  } else if (equals_nocase(literal, "null")) {
    mutation->value_kind = SV_MUTATION_VALUE_NULL;
    std::free(literal);
  } else if (sv_i64_parse_base10(literal, &mutation->int_value) == 1) {
    mutation->value_kind = SV_MUTATION_VALUE_INT;
    std::free(literal);
  } else if (whole_double(literal, &number) && std::isfinite(number)) {
    // Infinity and NaN are no JSON numbers: such words stay text.
    mutation->value_kind = SV_MUTATION_VALUE_DOUBLE;
    mutation->double_value = number;
    std::free(literal);
  } else {
    mutation->value_kind = SV_MUTATION_VALUE_STRING;
    mutation->string_value = literal;
  }
}

struct Prefixes {
  uint32_t file_kind = 0;
  bool remove = false;
  bool time = false;
};

Text take_prefixes(Text rest, Prefixes *prefixes) noexcept {
  static const char *const kFile[] = {"file:", "textfile:", "base64file:"};
  for (uint32_t i = 0; i < 3; ++i) {
    if (starts_with(rest, kFile[i])) {
      prefixes->file_kind = i + 1;
      rest = drop(rest, std::strlen(kFile[i]));
      break;
    }
  }
  for (const char *prefix : {"rm:", "remove:", "delete:", "del:"}) {
    if (starts_with(rest, prefix)) {
      prefixes->remove = true;
      rest = drop(rest, std::strlen(prefix));
      break;
    }
  }
  if (starts_with(rest, "time:")) {
    prefixes->time = true;
    rest = drop(rest, 5);
  }
  return rest;
}

bool is_brace_form(Text rest) noexcept {
  return rest.size >= 2 && rest.data[rest.size - 1] == '}' &&
         std::memchr(rest.data + 1, '{', rest.size - 1) != nullptr;
}

// Path and value of a "path=value" form; the mutation is filled and appended.
int parse_assignment(Text whole, Text rest, const Prefixes &prefixes,
                     const sv_mutation_parse_options *options, sv_mutation_plan *plan,
                     sv_error *error) noexcept {
  const void *equals = std::memchr(rest.data, '=', rest.size);
  if (equals == nullptr) {
    char *detail = copy_text(whole);
    fail(error, SV_ERR_INVALID, "invalid mutation expression", detail);
    std::free(detail);
    return SV_ERR_INVALID;
  }
  const size_t at = static_cast<size_t>(static_cast<const char *>(equals) - rest.data);
  const Text path{rest.data, at};
  const Text value = drop(rest, at + 1);
  sv_mutation mutation{};
  int status = SV_OK;
  if (prefixes.file_kind == 0 && !prefixes.time) {
    if (numeric_delta(value, path, &mutation, error) == Delta::failed) {
      return error != nullptr && error->code != SV_OK ? error->code : SV_ERR_INVALID;
    }
  }
  if (mutation.kind == 0 && prefixes.file_kind != 0) {
    if (options == nullptr) {
      return fail(error, SV_ERR_INVALID, "file-backed mutations are disabled", nullptr);
    }
    mutation.kind = SV_MUTATION_SET;
    mutation.value_kind = SV_MUTATION_VALUE_FILE;
    mutation.file_kind = prefixes.file_kind;
    mutation.file_opener = options->file_opener;
    status = resolve_file_path(value, options, &mutation.file_path, error);
  } else if (mutation.kind == 0) {
    mutation.kind = SV_MUTATION_SET;
    char *literal = copy_text(unquote(trim(value)));
    if (literal == nullptr) {
      return fail(error, SV_ERR_NOMEM, "failed to allocate mutation literal", nullptr);
    }
    if (prefixes.time) {
      mutation.value_kind = SV_MUTATION_VALUE_STRING;
      status =
          time_literal({literal, std::strlen(literal)}, options, &mutation.string_value, error);
      std::free(literal);
    } else {
      classify_literal(literal, &mutation);
    }
  }
  if (status == SV_OK) status = split_path(path, &mutation, error);
  if (status == SV_OK) status = plan_append(plan, &mutation, error);
  mutation_clear(&mutation);
  return status;
}

}  // namespace

void mutation_clear(sv_mutation *mutation) noexcept {
  for (size_t i = 0; i < mutation->path_count; ++i)
    std::free(mutation->path[i]);
  std::free(mutation->path);
  std::free(mutation->string_value);
  std::free(mutation->file_path);
  *mutation = sv_mutation{};
}

int plan_append(sv_mutation_plan *plan, sv_mutation *mutation, sv_error *error) noexcept {
  if (plan->count == plan->capacity) {
    const size_t capacity = plan->capacity == 0 ? 8 : plan->capacity * 2;
    void *grown = std::realloc(plan->items, capacity * sizeof(sv_mutation));
    if (grown == nullptr) {
      mutation_clear(mutation);
      return fail(error, SV_ERR_NOMEM, "failed to allocate mutation plan", nullptr);
    }
    plan->items = static_cast<sv_mutation *>(grown);
    plan->capacity = capacity;
  }
  plan->items[plan->count++] = *mutation;
  *mutation = sv_mutation{};
  return SV_OK;
}

int parse_expression(Text expression, const sv_mutation_parse_options *options,
                     sv_mutation_plan *plan, unsigned depth, sv_error *error) noexcept {
  Prefixes prefixes;
  const Text rest = take_prefixes(expression, &prefixes);
  if (prefixes.time && prefixes.file_kind != 0) {
    char *detail = copy_text(expression);
    fail(error, SV_ERR_INVALID, "file-backed mutation cannot be combined with time:", detail);
    std::free(detail);
    return SV_ERR_INVALID;
  }
  if (prefixes.time && prefixes.remove) {
    char *detail = copy_text(expression);
    fail(error, SV_ERR_INVALID, "time-prefixed mutation cannot be combined with remove", detail);
    std::free(detail);
    return SV_ERR_INVALID;
  }
  sv_mutation mutation{};
  if (prefixes.remove) {
    mutation.kind = SV_MUTATION_REMOVE;
    int status = split_path(rest, &mutation, error);
    if (status == SV_OK) status = plan_append(plan, &mutation, error);
    mutation_clear(&mutation);
    return status;
  }
  const bool plus = rest.size >= 2 && std::memcmp(rest.data + rest.size - 2, "++", 2) == 0;
  const bool minus = rest.size >= 2 && std::memcmp(rest.data + rest.size - 2, "--", 2) == 0;
  if (plus || minus) {
    mutation.kind = SV_MUTATION_INCREMENT;
    mutation.delta = plus ? 1.0 : -1.0;
    mutation.int_delta = plus ? 1 : -1;
    mutation.has_int_delta = 1;
    int status = split_path({rest.data, rest.size - 2}, &mutation, error);
    if (status == SV_OK) status = plan_append(plan, &mutation, error);
    mutation_clear(&mutation);
    return status;
  }
  if (is_brace_form(rest)) return expand_braces(rest, options, plan, depth, error);
  return parse_assignment(expression, rest, prefixes, options, plan, error);
}

}  // namespace sv_mutation_impl

using namespace sv_mutation_impl;

SV_API void sv_mutate_local_req_init(sv_mutate_local_req *req) noexcept {
  if (req != nullptr) *req = sv_mutate_local_req{};
}

SV_API int sv_mutation_plan_build(const char *const *expressions, size_t count,
                                  const sv_mutation_parse_options *options,
                                  sv_mutation_plan **out_plan, sv_error *error) noexcept {
  if (expressions == nullptr || count == 0 || out_plan == nullptr) {
    return fail(error, SV_ERR_INVALID, "local mutate requires mutation expressions", nullptr);
  }
  *out_plan = nullptr;
  auto *plan = static_cast<sv_mutation_plan *>(std::calloc(1, sizeof(sv_mutation_plan)));
  if (plan == nullptr) {
    return fail(error, SV_ERR_NOMEM, "failed to allocate mutation plan", nullptr);
  }
  for (size_t i = 0; i < count; ++i) {
    const char *expression = expressions[i];
    if (expression == nullptr || expression[0] == '\0') continue;
    const int status =
        parse_expression({expression, std::strlen(expression)}, options, plan, 0, error);
    if (status != SV_OK) {
      sv_mutation_plan_close(plan);
      return status;
    }
  }
  if (plan->count == 0) {
    sv_mutation_plan_close(plan);
    return fail(error, SV_ERR_INVALID, "local mutate requires at least one mutation", nullptr);
  }
  *out_plan = plan;
  return SV_OK;
}

SV_API void sv_mutation_plan_close(sv_mutation_plan *plan) noexcept {
  if (plan == nullptr) return;
  for (size_t i = 0; i < plan->count; ++i)
    mutation_clear(&plan->items[i]);
  std::free(plan->items);
  std::free(plan);
}

SV_API size_t sv_mutation_plan_count(const sv_mutation_plan *plan) noexcept {
  return plan != nullptr ? plan->count : 0;
}

SV_API const sv_mutation *sv_mutation_plan_at(const sv_mutation_plan *plan, size_t index) noexcept {
  if (plan == nullptr || index >= plan->count) return nullptr;
  return &plan->items[index];
}
