/*
 * Definitions shared by every public header of libstavoc: the export macro and the status codes
 * returned by every function (the engine and the public layer use the same numbers).
 */
#ifndef STAVOC_COMMON_H
#define STAVOC_COMMON_H

#if defined(__GNUC__)
#define SV_API __attribute__((visibility("default")))
#else
#define SV_API
#endif

#ifdef __cplusplus
#define SV_NOEXCEPT noexcept
#else
#define SV_NOEXCEPT
#endif

#define SV_VERSION_STRING "0.7.0"

enum {
  SV_OK = 0,            /* success */
  SV_ERR_INVALID = 1,   /* missing or invalid argument, wrong call order */
  SV_ERR_NOMEM = 2,     /* allocation failed */
  SV_ERR_TRANSPORT = 3, /* network or local input/output failure */
  SV_ERR_PROTOCOL = 4,  /* undecodable or over-limit response, bad client bundle */
  SV_ERR_SERVER = 5     /* the server answered with a non-success HTTP status */
};

#endif /* STAVOC_COMMON_H */
