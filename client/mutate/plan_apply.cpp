// Applying a plan: one pass per mutation, each from the previous pass's scratch file into a new
// one, so that memory stays bounded by nesting and key sizes whatever the document's size.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "apply_pass.h"

namespace sv_mutation_impl {
namespace {

constexpr size_t kOutputBuffer = 1u << 16;

int fail_system(sv_error *error, const char *message, int number) noexcept {
  return sv_error_set(error, SV_ERR_TRANSPORT, 0, message, std::strerror(number), nullptr, nullptr);
}

// Maps a failed walk: a callback's own failure keeps its code and text; the visitor's failures
// (bad JSON, limits, reads) are invalid input with the visitor's message.
int walk_failure(const Pass &pass, brindle_status status, const brindle_error &walk,
                 sv_error *error) noexcept {
  if (pass.value_error.code != SV_OK) {
    return sv_error_set(error, pass.value_error.code, 0, pass.value_error.message,
                        pass.value_error.detail, nullptr, nullptr);
  }
  if (walk.message[0] != '\0') {
    int code = SV_ERR_INVALID;
    if (status == BRINDLE_ALLOCATION_FAILED) code = SV_ERR_NOMEM;
    if (status == BRINDLE_IO_ERROR && !pass.failed) code = SV_ERR_TRANSPORT;
    return sv_error_set(error, code, 0, walk.message, nullptr, nullptr, nullptr);
  }
  return sv_brindle_error_from_status(error, status, &walk,
                                      "failed to transform local mutate document");
}

// One pass of mutation from input into output.
int run_pass(const sv_mutation *mutation, FILE *input, FILE *output, sv_error *error) noexcept {
  Pass *pass = new (std::nothrow) Pass{};
  if (pass == nullptr) {
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate local mutate path stack",
                        nullptr, nullptr, nullptr);
  }
  pass->mutation = mutation;
  pass->output = {output, &pass->value_error, nullptr, 0, kOutputBuffer};
  pass->output.buffer = static_cast<char *>(std::malloc(kOutputBuffer));
  sv_error_init(&pass->value_error);
  pass->path = static_cast<const char **>(std::calloc(kMaxFrames, sizeof(const char *)));
  if (pass->path == nullptr || pass->output.buffer == nullptr) {
    std::free(pass->path);
    std::free(pass->output.buffer);
    delete pass;
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate local mutate path stack",
                        nullptr, nullptr, nullptr);
  }
  const brindle_value_visitor visitor = pass_visitor();
  const brindle_value_limits limits = brindle_default_value_limits();
  brindle_error walk;
  brindle_error_init(&walk);
  const brindle_status status = brindle_visit_value_filep(input, &visitor, pass, &limits, &walk);
  int result = SV_OK;
  if (status != BRINDLE_OK && status != BRINDLE_TRUNCATED) {
    result = walk_failure(*pass, status, walk, error);
  } else if (!output_flush(&pass->output)) {
    result = sv_error_set(error, pass->value_error.code, 0, pass->value_error.message,
                          pass->value_error.detail, nullptr, nullptr);
  } else if (std::fflush(output) != 0) {
    result = fail_system(error, "failed to flush mutate stream output", errno);
  } else {
    result = pass_check_applied(pass, error);
  }
  pass_cleanup(pass);
  std::free(pass->output.buffer);
  delete pass;
  return result;
}

int rewind_file(FILE *file, sv_error *error) noexcept {
  if (std::fseek(file, 0, SEEK_SET) != 0) {
    return fail_system(error, "failed to rewind local mutate input", errno);
  }
  std::clearerr(file);
  return SV_OK;
}

}  // namespace

}  // namespace sv_mutation_impl

using namespace sv_mutation_impl;

SV_API int sv_mutation_plan_apply(const sv_mutation_plan *plan, FILE *input, FILE **out_final,
                                  sv_error *error) noexcept {
  if (plan == nullptr || input == nullptr || out_final == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0,
                        "mutation plan apply requires plan, input, and out_final", nullptr, nullptr,
                        nullptr);
  }
  *out_final = nullptr;
  if (plan->count == 0) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "local mutate requires at least one mutation",
                        nullptr, nullptr, nullptr);
  }
  int status = rewind_file(input, error);
  FILE *current = input;  // the pass input; never closed while it is the caller's
  for (size_t i = 0; status == SV_OK && i < plan->count; ++i) {
    FILE *output = std::tmpfile();
    if (output == nullptr) {
      status = fail_system(error, "failed to create local mutate scratch file", errno);
      break;
    }
    status = rewind_file(current, error);
    if (status == SV_OK) status = run_pass(&plan->items[i], current, output, error);
    if (current != input) std::fclose(current);
    current = output;
  }
  if (status == SV_OK) status = rewind_file(current, error);
  if (status != SV_OK) {
    if (current != input) std::fclose(current);
    return status;
  }
  *out_final = current;
  return SV_OK;
}
