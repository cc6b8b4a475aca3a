// Helpers of the local mutation tests: building plans from expression lists and applying them
// to documents held in strings, with the errors kept for inspection.
#ifndef STAVO_TESTS_MUTATE_MUTATE_TEST_SUPPORT_H
#define STAVO_TESTS_MUTATE_MUTATE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "stavoc.h"

namespace mutate_test {

// The outcome of a build or an apply: status, the error's message and detail, the output.
struct Outcome {
  int status = SV_OK;
  std::string message;
  std::string detail;
  std::string output;
};

inline void take_error(Outcome *outcome, sv_error *error) {
  outcome->message = error->message != nullptr ? error->message : "";
  outcome->detail = error->detail != nullptr ? error->detail : "";
  sv_error_cleanup(error);
}

struct PlanCloser {
  void operator()(sv_mutation_plan *plan) const { sv_mutation_plan_close(plan); }
};
using PlanPtr = std::unique_ptr<sv_mutation_plan, PlanCloser>;

// Builds a plan; the outcome holds the error on failure.
inline PlanPtr build(const std::vector<std::string> &expressions, Outcome *outcome,
                     const sv_mutation_parse_options *options = nullptr) {
  std::vector<const char *> texts;
  for (const auto &text : expressions)
    texts.push_back(text.c_str());
  sv_error error;
  sv_error_init(&error);
  sv_mutation_plan *plan = nullptr;
  outcome->status = sv_mutation_plan_build(texts.data(), texts.size(), options, &plan, &error);
  take_error(outcome, &error);
  if (outcome->status != SV_OK) {
    EXPECT_EQ(plan, nullptr);
  }
  return PlanPtr(plan);
}

inline std::string read_all(FILE *file) {
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    text.append(buffer, got);
  return text;
}

// Applies a built plan to document; output holds the result on success.
inline Outcome apply_plan(const sv_mutation_plan *plan, const std::string &document) {
  Outcome outcome;
  FILE *input = std::tmpfile();
  EXPECT_NE(input, nullptr);
  if (input == nullptr) return outcome;
  std::fwrite(document.data(), 1, document.size(), input);
  std::fflush(input);
  FILE *result = nullptr;
  sv_error error;
  sv_error_init(&error);
  outcome.status = sv_mutation_plan_apply(plan, input, &result, &error);
  take_error(&outcome, &error);
  if (outcome.status == SV_OK) {
    EXPECT_NE(result, nullptr);
    if (result != nullptr) {
      outcome.output = read_all(result);
      std::fclose(result);
    }
  } else {
    EXPECT_EQ(result, nullptr);
  }
  std::fclose(input);
  return outcome;
}

// Builds and applies; a failed build is returned as the outcome.
inline Outcome apply(const std::string &document, const std::vector<std::string> &expressions,
                     const sv_mutation_parse_options *options = nullptr) {
  Outcome outcome;
  PlanPtr plan = build(expressions, &outcome, options);
  if (outcome.status != SV_OK) return outcome;
  return apply_plan(plan.get(), document);
}

// The single mutation of a one-expression plan (fails the test otherwise).
inline const sv_mutation *only(const PlanPtr &plan) {
  EXPECT_EQ(sv_mutation_plan_count(plan.get()), 1u);
  return sv_mutation_plan_at(plan.get(), 0);
}

inline std::vector<std::string> segments(const sv_mutation *mutation) {
  std::vector<std::string> out;
  for (size_t i = 0; i < mutation->path_count; ++i)
    out.emplace_back(mutation->path[i]);
  return out;
}

}  // namespace mutate_test

#endif
