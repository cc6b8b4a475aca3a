// The restart policy, retryability and generated owners, without a server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <regex>
#include <set>
#include <string>

#include "client/consumer/consumer_internal.h"

namespace {

sv_consumer_restart_policy defaults() {
  sv_consumer_restart_policy policy;
  sv_consumer_restart_policy_init(&policy);
  return sv_consumer_policy_normalise(policy);
}

// The defaults without their random spread, for exact delays.
sv_consumer_restart_policy steady_defaults() {
  sv_consumer_restart_policy policy = defaults();
  policy.jitter_ms = 0;
  return policy;
}

TEST(ConsumerPolicy, InitFunctionsSetTheDefaultsAndAcceptNull) {
  EXPECT_EQ(sv_consumer_restart_policy_init(nullptr), nullptr);
  EXPECT_EQ(sv_consumer_config_init(nullptr), nullptr);
  EXPECT_EQ(sv_consumer_service_config_init(nullptr), nullptr);

  sv_consumer_config config;
  std::memset(&config, 0xAB, sizeof config);
  EXPECT_EQ(sv_consumer_config_init(&config), &config);
  EXPECT_EQ(config.workers, 1u);
  EXPECT_EQ(config.name, nullptr);
  EXPECT_EQ(config.request.queue, nullptr);
  EXPECT_EQ(config.handle, nullptr);
  EXPECT_EQ(config.with_state, 0);
  EXPECT_EQ(config.restart_policy.immediate_retries, 3);
  EXPECT_EQ(config.restart_policy.initial_delay_ms, 250);
  EXPECT_EQ(config.restart_policy.max_delay_ms, 300000);
  EXPECT_EQ(config.restart_policy.multiplier, 2.0);
  EXPECT_EQ(config.restart_policy.jitter_ms, 100) << "workers must not retry in lockstep";
  EXPECT_EQ(config.restart_policy.max_failures, 0);

  sv_consumer_service_config service;
  std::memset(&service, 0xAB, sizeof service);
  sv_consumer_service_config_init(&service);
  EXPECT_EQ(service.consumers, nullptr);
  EXPECT_EQ(service.consumer_count, 0u);
  EXPECT_EQ(service.drain_timeout_ms, 30000);
}

TEST(ConsumerPolicy, DefaultJitterSpreadsTheBackoffOfWorkersThatFailedTogether) {
  const sv_consumer_restart_policy policy = defaults();
  std::set<int64_t> seen;
  for (int i = 0; i < 200; ++i) {
    const int64_t delay = sv_consumer_restart_delay_ms(policy, 3);  // the first backoff: 250
    ASSERT_GE(delay, 150);
    ASSERT_LE(delay, 350);
    seen.insert(delay);
  }
  EXPECT_GT(seen.size(), 10u) << "the default spread is not zero";
  EXPECT_EQ(sv_consumer_restart_delay_ms(policy, 0), 0) << "immediate retries stay immediate";
}

TEST(ConsumerPolicy, NormalisationRepairsOutOfRangeValues) {
  sv_consumer_restart_policy policy{};
  policy.immediate_retries = -4;
  policy.initial_delay_ms = 0;
  policy.max_delay_ms = -1;
  policy.multiplier = 1.0;
  policy.jitter_ms = -7;
  policy.max_failures = -2;
  sv_consumer_restart_policy out = sv_consumer_policy_normalise(policy);
  EXPECT_EQ(out.immediate_retries, 0);
  EXPECT_EQ(out.initial_delay_ms, 250);
  EXPECT_EQ(out.max_delay_ms, 300000);
  EXPECT_EQ(out.multiplier, 2.0);
  EXPECT_EQ(out.jitter_ms, 0);
  EXPECT_EQ(out.max_failures, 0);

  policy = defaults();
  policy.initial_delay_ms = 5000;
  policy.max_delay_ms = 1200;
  policy.multiplier = std::numeric_limits<double>::quiet_NaN();
  out = sv_consumer_policy_normalise(policy);
  EXPECT_EQ(out.initial_delay_ms, 1200) << "the first delay never exceeds the cap";
  EXPECT_EQ(out.max_delay_ms, 1200);
  EXPECT_EQ(out.multiplier, 2.0);
}

TEST(ConsumerPolicy, DefaultDelaysRestartThreeTimesAtOnceThenDoubleUpToTheCap) {
  const sv_consumer_restart_policy policy = steady_defaults();
  const int64_t expected[] = {0,    0,     0,     250,   500,    1000,   2000,   4000,
                              8000, 16000, 32000, 64000, 128000, 256000, 300000, 300000};
  for (int32_t n = 0; n < static_cast<int32_t>(std::size(expected)); ++n) {
    EXPECT_EQ(sv_consumer_restart_delay_ms(policy, n), expected[n]) << "after " << n;
  }
  EXPECT_EQ(sv_consumer_restart_delay_ms(policy, std::numeric_limits<int32_t>::max()), 300000);
}

TEST(ConsumerPolicy, DelaysTruncateEachProductAndSurviveHugeMultipliers) {
  sv_consumer_restart_policy policy = steady_defaults();
  policy.immediate_retries = 0;
  policy.initial_delay_ms = 3;
  policy.multiplier = 1.5;
  policy.max_delay_ms = 1000;
  // 3, 4 (4.5), 6, 9, 13 (13.5), 19 (19.5)
  const int64_t expected[] = {3, 4, 6, 9, 13, 19};
  for (int32_t n = 0; n < 6; ++n)
    EXPECT_EQ(sv_consumer_restart_delay_ms(policy, n), expected[n]);

  policy.initial_delay_ms = 1;
  policy.multiplier = 1.01;  // 1 * 1.01 truncates to 1: no growth, so the cap applies
  EXPECT_EQ(sv_consumer_restart_delay_ms(policy, 1), 1000);

  policy.initial_delay_ms = 100;
  policy.max_delay_ms = std::numeric_limits<int64_t>::max();
  policy.multiplier = 1e300;  // beyond 2^63 at once
  EXPECT_EQ(sv_consumer_restart_delay_ms(policy, 1), std::numeric_limits<int64_t>::max());
}

TEST(ConsumerPolicy, JitterStaysWithinItsSpreadAndTheCap) {
  sv_consumer_restart_policy policy = defaults();
  policy.immediate_retries = 0;
  policy.initial_delay_ms = 1000;
  policy.max_delay_ms = 1100;
  policy.jitter_ms = 300;
  bool below = false;
  bool above = false;
  for (int i = 0; i < 400; ++i) {
    const int64_t delay = sv_consumer_restart_delay_ms(policy, 0);
    ASSERT_GE(delay, 700);
    ASSERT_LE(delay, 1100);
    below = below || delay < 1000;
    above = above || delay > 1000;
  }
  EXPECT_TRUE(below && above) << "jitter spreads both ways";
  policy.initial_delay_ms = 5;  // the spread never exceeds the delay itself
  for (int i = 0; i < 100; ++i) {
    const int64_t delay = sv_consumer_restart_delay_ms(policy, 0);
    ASSERT_GE(delay, 0);
    ASSERT_LE(delay, 10);
  }
}

TEST(ConsumerPolicy, RetryabilityByCodeAndStatus) {
  EXPECT_TRUE(sv_consumer_retryable(SV_ERR_TRANSPORT, 0));
  EXPECT_TRUE(sv_consumer_retryable(SV_ERR_SERVER, 503));
  EXPECT_TRUE(sv_consumer_retryable(SV_ERR_SERVER, 500));
  EXPECT_TRUE(sv_consumer_retryable(SV_ERR_SERVER, 429));
  EXPECT_TRUE(sv_consumer_retryable(SV_ERR_SERVER, 408));
  EXPECT_TRUE(sv_consumer_retryable(SV_ERR_NOMEM, 0));
  EXPECT_FALSE(sv_consumer_retryable(SV_ERR_SERVER, 404));
  EXPECT_FALSE(sv_consumer_retryable(SV_ERR_SERVER, 400));
  EXPECT_FALSE(sv_consumer_retryable(SV_ERR_SERVER, 499));
  EXPECT_FALSE(sv_consumer_retryable(SV_ERR_INVALID, 0));
  EXPECT_FALSE(sv_consumer_retryable(SV_ERR_PROTOCOL, 0));
}

std::string sanitize(const char *text, size_t capacity = 64) {
  char out[512];
  const size_t length = sv_consumer_sanitize_token(text, out, capacity);
  EXPECT_EQ(length, std::strlen(out));
  return out;
}

TEST(ConsumerOwner, TokensKeepSafeBytesAndCollapseTheRest) {
  EXPECT_EQ(sanitize("  orders.v2_eu"), "orders.v2_eu");
  EXPECT_EQ(sanitize("a b//c"), "a-b-c");
  EXPECT_EQ(sanitize("a--b"), "a--b") << "dashes of the input are kept";
  EXPECT_EQ(sanitize("!!a"), "a") << "other bytes at the start are dropped";
  EXPECT_EQ(sanitize("a!! "), "a") << "trailing dashes are removed";
  EXPECT_EQ(sanitize("\xc3\xa9t\xc3\xa9"), "t");
  EXPECT_EQ(sanitize("!?*"), "");
  EXPECT_EQ(sanitize("   "), "");
  EXPECT_EQ(sanitize(nullptr), "");
  EXPECT_EQ(sanitize("abcdefgh", 5), "abcd") << "capacity counts the terminator";
  EXPECT_EQ(sanitize("abc!defg", 5), "abc") << "a dash cut at the end is removed";
}

TEST(ConsumerOwner, GeneratedOwnersNameQueueHostProcessAndSequence) {
  char first[512];
  char second[512];
  sv_consumer_generate_owner("", "!@# *", first, sizeof first);
  sv_consumer_generate_owner("jobs/eu west", "build-host.local", second, sizeof second);
  const std::string pid = std::to_string(getpid());
  std::smatch match;
  const std::string a = first;
  ASSERT_TRUE(
      std::regex_match(a, match, std::regex("consumer-consumer-unknown-host-" + pid + "-([0-9]+)")))
      << a;
  const long sequence = std::stol(match[1]);
  EXPECT_GE(sequence, 1);
  EXPECT_EQ(std::string(second),
            "consumer-jobs-eu-west-build-host.local-" + pid + "-" + std::to_string(sequence + 1));

  const std::string long_name(400, 'n');
  const std::string long_host(400, 'h');
  char cut[512];
  sv_consumer_generate_owner(long_name.c_str(), long_host.c_str(), cut, sizeof cut);
  const std::string owner = cut;
  EXPECT_EQ(owner.rfind("consumer-" + std::string(127, 'n') + "-" + std::string(255, 'h') + "-", 0),
            0u)
      << "name and host are cut to 127 and 255 bytes";
  EXPECT_LE(owner.size(), 511u);
}

}  // namespace
