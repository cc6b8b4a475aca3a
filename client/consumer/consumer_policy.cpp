// Restart policy of the consumer service: defaults, normalisation, which failures are worth
// another attempt and how long to wait before it.
#include <cstdlib>

#include "consumer_internal.h"

namespace {

constexpr int32_t kDefaultImmediateRetries = 3;
constexpr int64_t kDefaultInitialDelayMs = 250;
constexpr int64_t kDefaultMaxDelayMs = 300000;
constexpr double kDefaultMultiplier = 2.0;
// Workers that failed together spread their retries instead of hitting the server in lockstep.
constexpr int64_t kDefaultJitterMs = 100;
constexpr double kTwoToThe63 = 9223372036854775808.0;

}  // namespace

SV_API sv_consumer_restart_policy *sv_consumer_restart_policy_init(
    sv_consumer_restart_policy *policy) noexcept {
  if (policy == nullptr) return nullptr;
  *policy = sv_consumer_restart_policy{};
  policy->immediate_retries = kDefaultImmediateRetries;
  policy->initial_delay_ms = kDefaultInitialDelayMs;
  policy->max_delay_ms = kDefaultMaxDelayMs;
  policy->multiplier = kDefaultMultiplier;
  policy->jitter_ms = kDefaultJitterMs;
  return policy;
}

SV_API sv_consumer_config *sv_consumer_config_init(sv_consumer_config *config) noexcept {
  if (config == nullptr) return nullptr;
  *config = sv_consumer_config{};
  config->workers = 1;
  sv_consumer_restart_policy_init(&config->restart_policy);
  return config;
}

SV_API sv_consumer_service_config *sv_consumer_service_config_init(
    sv_consumer_service_config *config) noexcept {
  if (config == nullptr) return nullptr;
  *config = sv_consumer_service_config{};
  config->drain_timeout_ms = kConsumerDefaultDrainTimeoutMs;
  return config;
}

sv_consumer_restart_policy sv_consumer_policy_normalise(
    const sv_consumer_restart_policy &policy) noexcept {
  sv_consumer_restart_policy out = policy;
  if (out.immediate_retries < 0) out.immediate_retries = 0;
  if (out.initial_delay_ms < 1) out.initial_delay_ms = kDefaultInitialDelayMs;
  if (out.max_delay_ms < 1) out.max_delay_ms = kDefaultMaxDelayMs;
  if (out.max_delay_ms < out.initial_delay_ms) out.initial_delay_ms = out.max_delay_ms;
  // Written so that NaN also falls back to the default.
  if (!(out.multiplier > 1.0)) out.multiplier = kDefaultMultiplier;
  if (out.jitter_ms < 0) out.jitter_ms = 0;
  if (out.max_failures < 0) out.max_failures = 0;
  return out;
}

bool sv_consumer_retryable(int code, int64_t http_status) noexcept {
  if (code == SV_ERR_INVALID || code == SV_ERR_PROTOCOL) return false;
  if (http_status >= 400 && http_status <= 499 && http_status != 408 && http_status != 429) {
    return false;
  }
  return true;
}

int64_t sv_consumer_restart_delay_ms(const sv_consumer_restart_policy &policy,
                                     int32_t failures) noexcept {
  if (failures < policy.immediate_retries) return 0;
  const int64_t steps = static_cast<int64_t>(failures) + 1 - policy.immediate_retries;
  int64_t delay = policy.initial_delay_ms;
  for (int64_t step = 1; step < steps && delay < policy.max_delay_ms; ++step) {
    const double product = static_cast<double>(delay) * policy.multiplier;
    if (!(product < kTwoToThe63)) {
      delay = policy.max_delay_ms;
      break;
    }
    const auto next = static_cast<int64_t>(product);
    delay = next > delay ? (next < policy.max_delay_ms ? next : policy.max_delay_ms)
                         : policy.max_delay_ms;
  }
  if (delay > policy.max_delay_ms) delay = policy.max_delay_ms;
  if (policy.jitter_ms >= 1 && delay >= 1) {
    const int64_t spread = delay < policy.jitter_ms ? delay : policy.jitter_ms;
    // rand() is deliberately left unseeded: the application owns the seed.
    delay = delay - spread + static_cast<int64_t>(std::rand()) % (2 * spread + 1);  // NOLINT
    if (delay < 0) delay = 0;
    if (delay > policy.max_delay_ms) delay = policy.max_delay_ms;
  }
  return delay;
}
