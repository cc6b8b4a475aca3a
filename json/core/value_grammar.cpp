// Out-of-line pieces of the value grammar.
#include "value_grammar.h"

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool brindle__json_number_is_valid(const char *text, size_t length) noexcept {
  size_t i = 0;
  if (i < length && text[i] == '-') ++i;
  if (i >= length) return false;
  if (text[i] == '0') {
    ++i;
  } else if (text[i] >= '1' && text[i] <= '9') {
    while (i < length && is_digit(text[i]))
      ++i;
  } else {
    return false;
  }
  if (i < length && text[i] == '.') {
    const size_t digits = ++i;
    while (i < length && is_digit(text[i]))
      ++i;
    if (i == digits) return false;
  }
  if (i < length && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < length && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t digits = i;
    while (i < length && is_digit(text[i]))
      ++i;
    if (i == digits) return false;
  }
  return i == length;
}
