// Time literals: "now" or an RFC 3339 date-time, normalised to UTC with the fraction's trailing
// zeros removed ("2024-01-02T02:04:05.12Z").
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "mutation_internal.h"

namespace sv_mutation_impl {
namespace {

int invalid(sv_error *error, const char *message, Text literal) noexcept {
  char *detail = static_cast<char *>(std::malloc(literal.size + 1));
  if (detail != nullptr) {
    std::memcpy(detail, literal.data, literal.size);
    detail[literal.size] = '\0';
  }
  sv_error_set(error, SV_ERR_INVALID, 0, message, detail, nullptr, nullptr);
  std::free(detail);
  return SV_ERR_INVALID;
}

bool digits(const char *text, size_t count, int *out) noexcept {
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  *out = value;
  return true;
}

bool leap(int year) noexcept {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int month_days(int year, int month) noexcept {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian calendar).
int64_t days_from_civil(int year, int month, int day) noexcept {
  const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t mp = (month + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Instant {
  int64_t seconds;
  long nanoseconds;
};

// Parses an RFC 3339 date-time; on failure error is set.
int parse_rfc3339(Text text, Instant *out, sv_error *error) noexcept {
  const char *kInvalid = "invalid RFC3339 time literal";
  const char *s = text.data;
  if (text.size < 20) return invalid(error, kInvalid, text);
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!digits(s, 4, &year) || s[4] != '-' || !digits(s + 5, 2, &month) || s[7] != '-' ||
      !digits(s + 8, 2, &day) || (s[10] != 'T' && s[10] != 't') || !digits(s + 11, 2, &hour) ||
      s[13] != ':' || !digits(s + 14, 2, &minute) || s[16] != ':' || !digits(s + 17, 2, &second)) {
    return invalid(error, kInvalid, text);
  }
  if (month < 1 || month > 12 || day < 1 || day > month_days(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return invalid(error, kInvalid, text);
  }
  size_t at = 19;
  long nanoseconds = 0;
  if (s[at] == '.') {
    ++at;
    size_t count = 0;
    while (at + count < text.size && s[at + count] >= '0' && s[at + count] <= '9')
      ++count;
    if (count == 0 || count > 9) return invalid(error, "invalid RFC3339Nano time literal", text);
    for (size_t i = 0; i < 9; ++i)
      nanoseconds = nanoseconds * 10 + (i < count ? s[at + i] - '0' : 0);
    at += count;
  }
  int64_t offset = 0;
  const size_t zone = text.size - at;
  if (zone == 1 && (s[at] == 'Z' || s[at] == 'z')) {
    offset = 0;
  } else if (zone == 6 && (s[at] == '+' || s[at] == '-') && s[at + 3] == ':') {
    int zone_hour = 0, zone_minute = 0;
    if (!digits(s + at + 1, 2, &zone_hour) || !digits(s + at + 4, 2, &zone_minute) ||
        zone_hour > 23 || zone_minute > 59) {
      return invalid(error, kInvalid, text);
    }
    offset = (zone_hour * 60 + zone_minute) * 60;
    if (s[at] == '-') offset = -offset;
  } else {
    return invalid(error, kInvalid, text);
  }
  out->seconds =
      days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
  out->nanoseconds = nanoseconds;
  return SV_OK;
}

}  // namespace

int format_timestamp(int64_t seconds, long nanoseconds, char **out, sv_error *error) noexcept {
  if (nanoseconds < 0 || nanoseconds > 999999999) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "invalid timestamp value", nullptr, nullptr,
                        nullptr);
  }
  const time_t when = static_cast<time_t>(seconds);
  struct tm parts {};
  if (gmtime_r(&when, &parts) == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "failed to normalize timestamp value", nullptr,
                        nullptr, nullptr);
  }
  char buffer[64];
  int length =
      std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900,
                    parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  if (length < 0 || static_cast<size_t>(length) >= sizeof buffer - 12) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "failed to format timestamp value", nullptr,
                        nullptr, nullptr);
  }
  if (nanoseconds != 0) {
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, "%09ld", nanoseconds);
    size_t digits_kept = 9;
    while (fraction[digits_kept - 1] == '0')
      --digits_kept;
    buffer[length++] = '.';
    std::memcpy(buffer + length, fraction, digits_kept);
    length += static_cast<int>(digits_kept);
  }
  buffer[length++] = 'Z';
  buffer[length] = '\0';
  *out = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
  if (*out == nullptr) {
    return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate timestamp literal", nullptr,
                        nullptr, nullptr);
  }
  std::memcpy(*out, buffer, static_cast<size_t>(length) + 1);
  return SV_OK;
}

int time_literal(Text literal, const sv_mutation_parse_options *options, char **out,
                 sv_error *error) noexcept {
  const bool now = (literal.size == 3 && (std::memcmp(literal.data, "now", 3) == 0 ||
                                          std::memcmp(literal.data, "NOW", 3) == 0));
  if (now) {
    struct timespec instant {};
    if (options != nullptr && options->has_now != 0) {
      instant = options->now;
    } else if (clock_gettime(CLOCK_REALTIME, &instant) != 0) {
      instant.tv_sec = std::time(nullptr);
      instant.tv_nsec = 0;
    }
    return format_timestamp(static_cast<int64_t>(instant.tv_sec), instant.tv_nsec, out, error);
  }
  Instant instant{};
  const int status = parse_rfc3339(literal, &instant, error);
  if (status != SV_OK) return status;
  return format_timestamp(instant.seconds, instant.nanoseconds, out, error);
}

}  // namespace sv_mutation_impl
