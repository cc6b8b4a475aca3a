/* libbrindle: schema-mapped JSON. (The full interface is being built.) */
#ifndef BRINDLE_H
#define BRINDLE_H

#if defined(__GNUC__)
#define BRINDLE_API __attribute__((visibility("default")))
#else
#define BRINDLE_API
#endif

#ifdef __cplusplus
#define BRINDLE_NOEXCEPT noexcept
extern "C" {
#else
#define BRINDLE_NOEXCEPT
#endif

BRINDLE_API const char *brindle_status_string(int status) BRINDLE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
