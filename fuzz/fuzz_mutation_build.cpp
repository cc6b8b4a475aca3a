// Raw bytes as mutation expressions (one per line): building a plan never crashes or leaks, a
// failure always carries a message and leaves no plan, and a built plan holds only addressable
// paths. Plans without file values are applied to a small document as well.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "stavoc_mutate.h"

namespace {

bool is_wildcard(const char *segment) {
  return std::strcmp(segment, "*") == 0 || std::strcmp(segment, "**") == 0 ||
         std::strcmp(segment, "[]") == 0 || std::strcmp(segment, "...") == 0;
}

void check_plan(const sv_mutation_plan *plan) {
  const size_t count = sv_mutation_plan_count(plan);
  fuzz::expect(count > 0, "built plan is empty");
  for (size_t i = 0; i < count; ++i) {
    const sv_mutation *m = sv_mutation_plan_at(plan, i);
    fuzz::expect(m != nullptr && m->path_count > 0 && m->path != nullptr, "mutation without path");
    fuzz::expect(m->kind >= SV_MUTATION_SET && m->kind <= SV_MUTATION_REMOVE, "bad kind");
    for (size_t s = 0; s < m->path_count; ++s) {
      fuzz::expect(m->path[s] != nullptr && m->path[s][0] != '\0', "empty segment");
      fuzz::expect(std::strlen(m->path[s]) <= 1024, "segment above 1024 bytes", m->path[s]);
      fuzz::expect(!is_wildcard(m->path[s]), "wildcard segment", m->path[s]);
    }
    if (m->kind == SV_MUTATION_INCREMENT) fuzz::expect(m->delta != 0, "zero delta");
    if (m->kind == SV_MUTATION_SET && m->value_kind == SV_MUTATION_VALUE_FILE) {
      fuzz::expect(m->file_path != nullptr && m->file_path[0] == '/', "relative file path");
    }
    if (m->kind == SV_MUTATION_SET && m->value_kind == SV_MUTATION_VALUE_STRING) {
      fuzz::expect(m->string_value != nullptr, "string set without value");
    }
  }
}

bool has_file_value(const sv_mutation_plan *plan) {
  for (size_t i = 0; i < sv_mutation_plan_count(plan); ++i) {
    const sv_mutation *m = sv_mutation_plan_at(plan, i);
    if (m->kind == SV_MUTATION_SET && m->value_kind == SV_MUTATION_VALUE_FILE) return true;
  }
  return false;
}

void apply_small(const sv_mutation_plan *plan) {
  static const char kDocument[] = R"({"a":{"b":[1,{"c":2}],"n":1.5},"s":"t","z":null})";
  FILE *input = std::tmpfile();
  if (input == nullptr) return;
  std::fputs(kDocument, input);
  FILE *result = nullptr;
  sv_error error;
  sv_error_init(&error);
  const int status = sv_mutation_plan_apply(plan, input, &result, &error);
  if (status == SV_OK) {
    fuzz::expect(result != nullptr, "apply succeeded without result");
    std::fclose(result);
  } else {
    fuzz::expect(result == nullptr, "apply failed with a result");
    fuzz::expect(error.message != nullptr && error.message[0] != '\0', "apply failure unnamed");
  }
  sv_error_cleanup(&error);
  std::fclose(input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < size && lines.size() <= 16; ++i) {
    if (data[i] == '\n' || data[i] == '\0') {
      lines.emplace_back();
    } else {
      lines.back().push_back(static_cast<char>(data[i]));
    }
  }
  std::vector<const char *> expressions;
  for (const auto &line : lines)
    expressions.push_back(line.c_str());
  sv_mutation_parse_options options{};
  options.file_value_base_dir = "/nonexistent-base";
  options.now.tv_sec = 1700000000;
  options.has_now = 1;
  sv_mutation_plan *plan = nullptr;
  sv_error error;
  sv_error_init(&error);
  const bool with_options = size > 0 && (data[0] & 1) != 0;
  const int status = sv_mutation_plan_build(expressions.data(), expressions.size(),
                                            with_options ? &options : nullptr, &plan, &error);
  if (status == SV_OK) {
    fuzz::expect(plan != nullptr, "build succeeded without plan");
    check_plan(plan);
    if (!has_file_value(plan)) apply_small(plan);
  } else {
    fuzz::expect(plan == nullptr, "failed build left a plan");
    fuzz::expect(status == SV_ERR_INVALID || status == SV_ERR_NOMEM, "unexpected build status");
    fuzz::expect(error.message != nullptr && error.message[0] != '\0', "build failure unnamed");
  }
  sv_mutation_plan_close(plan);
  sv_error_cleanup(&error);
  return 0;
}
