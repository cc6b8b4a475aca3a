/*
 * The lease keeper of libstavoc: an opt-in background thread that keeps leases alive while long
 * work runs. It renews each lease it keeps at about a third of the lease's TTL (with jitter),
 * through the lease's own client, and reports a lease the server no longer grants through a
 * callback and on the next call on that lease. Nothing runs unless an application opens a
 * keeper; leases that are not kept behave exactly as without it.
 *
 *   sv_lease_keeper_config config;
 *   sv_lease_keeper_config_init(&config);
 *   config.on_lost = report_lost;             (optional)
 *   sv_lease_keeper *keeper = NULL;
 *   if (sv_lease_keeper_open(&config, &keeper, &error) == SV_OK &&
 *       sv_lease_keeper_add(keeper, lease, 30, &error) == SV_OK) {
 *     ... long work with the lease; every sv_lease_* call on it works as before ...
 *     sv_lease_release(lease, NULL, &error);  (a released or closed lease leaves the keeper)
 *   }
 *   sv_lease_keeper_close(keeper);
 *
 * The view of a kept lease is only written by calls on the lease, on the caller's thread: a
 * renewal's new expiry reaches lease->expires_at_unix at the start of the next call on it, so
 * the application may read the view between its calls without locking. Once a lease is lost,
 * every call on it except sv_lease_close fails with the renewal's failure, its message
 * prefixed with "lease lost: " (for example "lease lost: lease expired", SV_ERR_SERVER, HTTP
 * 409 "lease_expired"); close it. Keep only leases made by sv_acquire, not a message's state
 * lease, and remove a lease or close the keeper only while no call on that lease runs.
 */
#ifndef STAVOC_KEEPER_H
#define STAVOC_KEEPER_H

#include <stdint.h>

#include "stavoc_client.h"
#include "stavoc_common.h"
#include "stavoc_lease.h"
#include "stavoc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A keeper and its thread; made by sv_lease_keeper_open, freed by sv_lease_keeper_close. */
typedef struct sv_lease_keeper sv_lease_keeper;

/* What on_lost receives; valid during the call only. */
typedef struct sv_lease_lost_event {
  sv_lease *lease;            /* the handle, for identification only: do not call it from on_lost */
  const char *namespace_name; /* the key's namespace */
  const char *key;            /* the key */
  const char *lease_id;       /* the lost lease */
  const sv_error *error;      /* why: the failed renewal, message prefixed with "lease lost: " */
} sv_lease_lost_event;

/* Called on the keeper's thread when a kept lease is lost. */
typedef void (*sv_lease_lost_fn)(void *context, const sv_lease_lost_event *event);

/* How a keeper renews; zero members are the defaults. */
typedef struct sv_lease_keeper_config {
  /* Renew when this fraction of the TTL has passed since the last renewal; 0 (or a value
   * outside (0, 1)): one third. */
  double renew_fraction;
  /* Random spread of +/- this much around each renewal time; negative: none, 0: a tenth of
   * the renewal interval. */
  int64_t jitter_ms;
  /* After a renewal that failed without an answer (transport failure or a 5xx status), try
   * again this much later; below 1: 1000. A lease whose renewals keep failing this way is lost
   * once its TTL has passed since its last successful renewal. */
  int64_t retry_ms;
  sv_lease_lost_fn on_lost; /* optional */
  void *context;            /* first argument of on_lost */
} sv_lease_keeper_config;

/* Zeroes the record (the defaults above). Returns config (NULL for NULL). */
SV_API sv_lease_keeper_config *sv_lease_keeper_config_init(sv_lease_keeper_config *config)
    SV_NOEXCEPT;

/* Starts a keeper thread (config NULL: the defaults). "lease keeper open requires out"
 * (SV_ERR_INVALID); "failed to allocate lease keeper" (SV_ERR_NOMEM); "failed to start lease
 * keeper thread" (SV_ERR_TRANSPORT). */
SV_API int sv_lease_keeper_open(const sv_lease_keeper_config *config, sv_lease_keeper **out,
                                sv_error *error) SV_NOEXCEPT;

/* Keeps lease alive, renewing it with ttl_seconds (1 or more); the first renewal comes one
 * interval after this call. "lease keeper add requires keeper, lease, and ttl_seconds" and
 * "lease is already kept" (SV_ERR_INVALID); "failed to allocate kept lease" (SV_ERR_NOMEM). */
SV_API int sv_lease_keeper_add(sv_lease_keeper *keeper, sv_lease *lease, int64_t ttl_seconds,
                               sv_error *error) SV_NOEXCEPT;

/* Stops keeping lease, which works as an ordinary handle again (also after it was lost).
 * SV_OK, or SV_ERR_INVALID when keeper or lease is NULL or the keeper does not keep it. */
SV_API int sv_lease_keeper_remove(sv_lease_keeper *keeper, sv_lease *lease) SV_NOEXCEPT;

/* SV_OK while the keeper keeps lease and it has not been lost; the lost failure's code (with
 * error filled) once it was lost; SV_ERR_INVALID "lease is not kept" for a lease the keeper
 * does not keep (or a NULL argument). */
SV_API int sv_lease_keeper_check(sv_lease_keeper *keeper, sv_lease *lease, sv_error *error)
    SV_NOEXCEPT;

/* The number of successful renewals of lease so far (0 for a lease the keeper does not keep). */
SV_API int64_t sv_lease_keeper_renewals(sv_lease_keeper *keeper, sv_lease *lease) SV_NOEXCEPT;

/* Stops and joins the thread, hands every lease still kept back as an ordinary handle and
 * frees the keeper. NULL is ignored. */
SV_API void sv_lease_keeper_close(sv_lease_keeper *keeper) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_KEEPER_H */
