/* A program built against the installed libraries, as a user would build it. */
#include <brindle.h>
#include <ember.h>
#include <stavoc_numbers.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  char text[32];
  int64_t value = 0;
  ember_logger *logger = ember_new(NULL);
  if (logger == NULL) return 1;
  ember_destroy(logger);
  if (sv_i64_format_base10(-42, text, sizeof(text)) != 3) return 2;
  if (!sv_i64_parse_base10(text, &value) || value != -42) return 3;
  if (strcmp(brindle_status_string(BRINDLE_TRUNCATED), "truncated") != 0) return 4;
  puts("consumer ok");
  return 0;
}
