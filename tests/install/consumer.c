/* A program built against the installed libraries as a user builds it, calling libstavoc only:
 * linked with --as-needed it records libstavoc alone, so it runs only when the installed
 * libstavoc finds its own libbrindle and libember. */
#include <stavoc_engine_core.h>
#include <stavoc_numbers.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  char text[32];
  int64_t value = 0;
  sv_engine_error error;
  sv_engine_buffer buffer;
  if (strcmp(sv_engine_version_string(), "0.7.0") != 0) return 1;
  if (sv_i64_format_base10(-42, text, sizeof(text)) != 3) return 2;
  if (!sv_i64_parse_base10(text, &value) || value != -42) return 3;
  sv_engine_error_init(&error);
  if (sv_engine_set_client_error(&error, 1, "consumer check") != 1) return 4;
  sv_engine_error_cleanup(&error);
  sv_engine_buffer_init(&buffer);
  if (sv_engine_buffer_append_cstr(&buffer, "consumer") != 0) return 5;
  sv_engine_buffer_cleanup(&buffer);
  printf("consumer ok: libstavoc %s\n", sv_engine_version_string());
  return 0;
}
