/*
 * Engine operations on queues: statistics, settling a delivered message (ack, nack, extend),
 * the dequeue and subscribe streams that deliver messages, and the queue watch.
 *
 * Request records are caller-owned and their strings are borrowed for the call; an empty
 * namespace means the client's default. Response records are caller-owned, are cleaned by the
 * operation before it fills them, receive owned copies and are freed with their *_cleanup
 * function. Any 2xx answer is success; any other answer gives SV_ERR_SERVER with the server's
 * error members. correlation_id is the X-Correlation-Id header of the successful exchange, or
 * NULL.
 */
#ifndef STAVOC_ENGINE_QUEUE_H
#define STAVOC_ENGINE_QUEUE_H

#include "stavoc_engine_core.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Settling and statistics: requests (strings borrowed) ---------------------------------- */

/* The request of sv_engine_client_queue_stats. */
typedef struct sv_engine_queue_stats_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *queue;          /* the queue; required */
} sv_engine_queue_stats_request;

/* The request of sv_engine_client_queue_ack. */
typedef struct sv_engine_queue_ack_request {
  const char *namespace_name;  /* empty or NULL: the client's default namespace */
  const char *queue;           /* the queue; required */
  const char *message_id;      /* the delivered message's id; required */
  const char *lease_id;        /* the delivery lease's id; required */
  const char *txn_id;          /* sent when non-empty */
  int64_t fencing_token;       /* sent when above 0 */
  const char *meta_etag;       /* sent when non-empty */
  const char *state_etag;      /* sent when non-empty */
  const char *state_lease_id;  /* sent when non-empty */
  int64_t state_fencing_token; /* sent with state_lease_id when above 0 */
} sv_engine_queue_ack_request;

/* The request of sv_engine_client_queue_nack. */
typedef struct sv_engine_queue_nack_request {
  const char *namespace_name;  /* empty or NULL: the client's default namespace */
  const char *queue;           /* the queue; required */
  const char *message_id;      /* the delivered message's id; required */
  const char *lease_id;        /* the delivery lease's id; required */
  const char *txn_id;          /* sent when non-empty */
  int64_t fencing_token;       /* sent when above 0 */
  const char *meta_etag;       /* required */
  const char *state_etag;      /* sent when non-empty */
  int64_t delay_seconds;       /* sent when above 0 */
  const char *intent;          /* "failure" or "defer"; sent when non-empty */
  const char *last_error;      /* a JSON document, embedded as JSON when non-empty */
  const char *state_lease_id;  /* sent when non-empty */
  int64_t state_fencing_token; /* sent with state_lease_id when 1 or more */
} sv_engine_queue_nack_request;

/* The request of sv_engine_client_queue_extend. */
typedef struct sv_engine_queue_extend_request {
  const char *namespace_name;  /* empty or NULL: the client's default namespace */
  const char *queue;           /* the queue; required */
  const char *message_id;      /* the delivered message's id; required */
  const char *lease_id;        /* the delivery lease's id; required */
  const char *txn_id;          /* sent when non-empty */
  int64_t fencing_token;       /* sent when above 0 */
  const char *meta_etag;       /* required */
  int64_t extend_by_seconds;   /* sent when above 0 */
  const char *state_lease_id;  /* sent when non-empty */
  int64_t state_fencing_token; /* sent with state_lease_id when above 0 */
} sv_engine_queue_extend_request;

/* ---- Settling and statistics: responses (owned strings) ------------------------------------ */

/* The answer of sv_engine_client_queue_stats. */
typedef struct sv_engine_queue_stats_response {
  char *namespace_name;          /* the namespace, as the server answered */
  char *queue;                   /* the queue */
  int32_t waiting_consumers;     /* consumers waiting for a message now */
  int32_t pending_candidates;    /* undelivered messages visible now */
  int32_t total_consumers;       /* consumers connected (open dequeue and subscribe streams) */
  int32_t has_active_watcher;    /* 0 or 1 */
  int32_t available;             /* 0 or 1 */
  char *head_message_id;         /* the id of the first message in the queue, or NULL */
  int64_t head_enqueued_at_unix; /* when that message was enqueued, in seconds since the epoch */
  /* When that message becomes visible (seconds since the epoch). */
  int64_t head_not_visible_until_unix;
  int64_t head_age_seconds; /* how long that message has waited, in seconds */
  char *correlation_id;     /* X-Correlation-Id of the answer, or NULL */
  int64_t messages;         /* messages held, visible or not */
  int64_t in_flight;        /* of them, leased to a consumer now */
  int64_t dead_letters;     /* messages moved aside after their last attempt */
} sv_engine_queue_stats_response;

/* The answer of sv_engine_client_queue_ack. */
typedef struct sv_engine_queue_ack_response {
  int32_t acked;        /* 0 or 1 */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
} sv_engine_queue_ack_response;

/* The answer of sv_engine_client_queue_nack. */
typedef struct sv_engine_queue_nack_response {
  int32_t requeued;     /* 0 or 1; 0 when the message went to the dead letters */
  char *meta_etag;      /* the message's new meta ETag */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
} sv_engine_queue_nack_response;

/* The answer of sv_engine_client_queue_extend. */
typedef struct sv_engine_queue_extend_response {
  int64_t lease_expires_at_unix; /* the delivery lease's new expiry, in seconds since the epoch */
  int64_t visibility_timeout_seconds;  /* the message's visibility timeout now, in seconds */
  char *meta_etag;                     /* the message's new meta ETag */
  int64_t state_lease_expires_at_unix; /* the state lease's new expiry (0: no state lease) */
  char *correlation_id;                /* X-Correlation-Id of the answer, or NULL */
} sv_engine_queue_extend_response;

/* Free the owned strings and zero the record; NULL is accepted, cleaning twice is harmless. */
SV_API void sv_engine_queue_stats_response_cleanup(sv_engine_queue_stats_response *response)
    SV_NOEXCEPT;
/* Free the owned strings and zero the record; NULL is accepted, cleaning twice is harmless. */
SV_API void sv_engine_queue_ack_response_cleanup(sv_engine_queue_ack_response *response)
    SV_NOEXCEPT;
/* Free the owned strings and zero the record; NULL is accepted, cleaning twice is harmless. */
SV_API void sv_engine_queue_nack_response_cleanup(sv_engine_queue_nack_response *response)
    SV_NOEXCEPT;
/* Free the owned strings and zero the record; NULL is accepted, cleaning twice is harmless. */
SV_API void sv_engine_queue_extend_response_cleanup(sv_engine_queue_extend_response *response)
    SV_NOEXCEPT;

/* POST "/v1/queue/stats": the queue's consumers, watchers and head message. Requires client,
 * request, response and error ("queue_stats requires client, request, response, and error") and
 * a non-empty queue ("queue_stats requires queue"). Counts beyond int32 fail with
 * SV_ERR_PROTOCOL ("queue_stats waiting_consumers is out of range", ...). */
SV_API int sv_engine_client_queue_stats(const sv_engine_client *client,
                                        const sv_engine_queue_stats_request *request,
                                        sv_engine_queue_stats_response *response,
                                        sv_engine_error *error) SV_NOEXCEPT;
/* POST "/v1/queue/ack": settles a delivery for good. Requires queue, message_id and lease_id
 * ("queue_ack requires queue, message_id, and lease_id"). */
SV_API int sv_engine_client_queue_ack(const sv_engine_client *client,
                                      const sv_engine_queue_ack_request *request,
                                      sv_engine_queue_ack_response *response,
                                      sv_engine_error *error) SV_NOEXCEPT;
/* POST "/v1/queue/nack": returns a delivery to the queue, with an intent, an optional delay and
 * an optional error document (last_error, sent as embedded JSON; invalid JSON fails while the
 * body is generated). Requires queue, message_id, lease_id and meta_etag ("queue_nack requires
 * queue, message_id, lease_id, and meta_etag"). */
SV_API int sv_engine_client_queue_nack(const sv_engine_client *client,
                                       const sv_engine_queue_nack_request *request,
                                       sv_engine_queue_nack_response *response,
                                       sv_engine_error *error) SV_NOEXCEPT;
/* POST "/v1/queue/extend": extends a delivery's visibility lease. Requires queue, message_id,
 * lease_id and meta_etag ("queue_extend requires queue, message_id, lease_id, and meta_etag"). */
SV_API int sv_engine_client_queue_extend(const sv_engine_client *client,
                                         const sv_engine_queue_extend_request *request,
                                         sv_engine_queue_extend_response *response,
                                         sv_engine_error *error) SV_NOEXCEPT;

/* ---- Dequeue and subscribe streams --------------------------------------------------------- */

/* The request of the dequeue and subscribe streams and of the synchronous dequeue. */
typedef struct sv_engine_dequeue_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *queue;          /* the queue; required */
  const char *owner;          /* who holds the deliveries; required */
  /* How long a delivery stays invisible to others (0: the queue's own). */
  int64_t visibility_timeout_seconds;
  int64_t wait_seconds;    /* negative values are sent as -1 */
  int32_t page_size;       /* values below 2 are sent as 1 */
  const char *start_after; /* sent when non-empty */
} sv_engine_dequeue_request;

/* One delivered message (owned strings). payload is set only by the synchronous dequeue: a
 * rewindable source over the payload bytes, closed by the cleanup. */
typedef struct sv_engine_dequeue_response {
  char *namespace_name; /* the namespace, as the server answered */
  char *queue;          /* the queue the message came from */
  char *message_id;     /* the message's id */
  int32_t attempts;     /* delivery attempts of the message, as the server counts them */
  int32_t max_attempts; /* failed attempts after which the message may go to the dead letters */
  /* Attempts that ended as a failure (these count towards max_attempts). */
  int32_t failure_attempts;
  int64_t not_visible_until_unix; /* when the message becomes visible, in seconds since the epoch */
  /* How long a delivery stays invisible to others, in seconds. */
  int64_t visibility_timeout_seconds;
  char *payload_content_type; /* the payload's content type, or NULL */
  /* The payload source (synchronous dequeue only, else NULL); closed by the cleanup. */
  sv_source *payload;
  int64_t payload_bytes; /* bytes of the payload */
  char *correlation_id;  /* the message's correlation id, else the answer's X-Correlation-Id */
  char *lease_id;        /* the delivery lease's id */
  int64_t lease_expires_at_unix; /* when the delivery lease expires, in seconds since the epoch */
  int64_t fencing_token;         /* the delivery lease's fencing token */
  char *txn_id;                  /* the delivery's transaction id, or NULL */
  char *meta_etag;               /* the message's meta ETag, sent when it is settled */
  char *state_etag;     /* the ETag of the message's state (deliveries with state), or NULL */
  char *state_lease_id; /* the id of the lease on the message's state, or NULL */
  int64_t state_lease_expires_at_unix; /* when that state lease expires (0: none) */
  int64_t state_fencing_token;         /* the fencing token of that state lease */
  char *state_txn_id;                  /* the transaction id of that state lease, or NULL */
  char *next_cursor; /* the cursor after this message (for start_after), or NULL */
} sv_engine_dequeue_response;

/* Frees every string, closes the payload source when set and zeroes the record; NULL is
 * accepted. */
SV_API void sv_engine_dequeue_response_cleanup(sv_engine_dequeue_response *response) SV_NOEXCEPT;

/* What a stream does with each message. The message passed to begin and end belongs to the
 * engine and is freed right after end returns. A handler that fails may fill error itself;
 * otherwise the engine supplies a message. */
typedef struct sv_engine_message_handler {
  /* The payload of message starts; non-zero to accept. NULL: accepted. */
  int (*begin)(void *context, const sv_engine_dequeue_response *message, sv_engine_error *error);
  /* The next payload bytes (never empty); non-zero to continue. Required. */
  int (*chunk)(void *context, const char *bytes, size_t length, sv_engine_error *error);
  /* The payload ended; non-zero to continue. NULL: continue. */
  int (*end)(void *context, const sv_engine_dequeue_response *message, sv_engine_error *error);
} sv_engine_message_handler;

/* The four streams share one behaviour. The answer is a multipart/related stream of a "meta"
 * part (JSON) and a "payload" part (with Content-Length) per message; every payload goes to the
 * handler chunk by chunk as it arrives, never held by the engine. Answers "waiting" and
 * "cas_mismatch" are retried from the first endpoint with a growing pause (0.5 ms doubling up to
 * 250 ms, or the answer's retry_after_seconds), "node_passive" moves to the next endpoint (after
 * the last: SV_ERR_TRANSPORT "all endpoints rejected the subscribe request"). The client's cancel
 * check is polled during the transfer and before every retry: when it returns non-zero the call
 * ends with SV_OK. The client's timeout_ms bounds only the wait for the answer (plus a finite
 * wait_seconds); an answered stream runs until the server ends it, it is cancelled, or it stays
 * silent past its bound (a finite wait_seconds plus a margin, or stream_idle_timeout_ms):
 * SV_ERR_TRANSPORT with the cause SV_TRANSPORT_CAUSE_STREAM_IDLE. Time the handler spends on a
 * delivery is not silence. Returns SV_OK when the stream ended normally or was cancelled. Requires
 * client, request, a handler with a chunk function, error, a queue and an owner ("subscribe
 * requires client, request, chunk handler, error, queue, and owner"). */
SV_API int sv_engine_client_subscribe(const sv_engine_client *client,
                                      const sv_engine_dequeue_request *request,
                                      const sv_engine_message_handler *handler, void *context,
                                      sv_engine_error *error) SV_NOEXCEPT;
/* subscribe on "/v1/queue/subscribeWithState": each delivery also leases the message's state. */
SV_API int sv_engine_client_subscribe_with_state(const sv_engine_client *client,
                                                 const sv_engine_dequeue_request *request,
                                                 const sv_engine_message_handler *handler,
                                                 void *context, sv_engine_error *error) SV_NOEXCEPT;
/* The stream on "/v1/queue/dequeue": up to page_size messages, then the stream ends. */
SV_API int sv_engine_client_dequeue_into(const sv_engine_client *client,
                                         const sv_engine_dequeue_request *request,
                                         const sv_engine_message_handler *handler, void *context,
                                         sv_engine_error *error) SV_NOEXCEPT;
/* The stream on "/v1/queue/dequeueWithState". */
SV_API int sv_engine_client_dequeue_with_state_into(const sv_engine_client *client,
                                                    const sv_engine_dequeue_request *request,
                                                    const sv_engine_message_handler *handler,
                                                    void *context, sv_engine_error *error)
    SV_NOEXCEPT;

/* Dequeues at most one message (page_size is sent as 1) into message, whose payload member then
 * reads the payload bytes (held in memory up to 64 KiB, beyond that in an anonymous temporary
 * file, so any size passes). No visible message leaves message_id NULL. Requires client,
 * request and message ("client, request, and response are required") and a queue
 * ("dequeue.queue is required"). The caller frees message with its cleanup. */
SV_API int sv_engine_client_dequeue(const sv_engine_client *client,
                                    const sv_engine_dequeue_request *request,
                                    sv_engine_dequeue_response *message, sv_engine_error *error)
    SV_NOEXCEPT;
/* sv_engine_client_dequeue on "/v1/queue/dequeueWithState". */
SV_API int sv_engine_client_dequeue_with_state(const sv_engine_client *client,
                                               const sv_engine_dequeue_request *request,
                                               sv_engine_dequeue_response *message,
                                               sv_engine_error *error) SV_NOEXCEPT;

/* Parses one meta part ({"message": {...}, "next_cursor": ...}) into message (cleaned first).
 * correlation_id (may be NULL) stands in when the message has none. Requires json, message and
 * error ("parse_subscribe_meta_json requires json, response, and error"). */
SV_API int sv_engine_parse_subscribe_meta_json(const char *json, const char *correlation_id,
                                               sv_engine_dequeue_response *message,
                                               sv_engine_error *error) SV_NOEXCEPT;

/* The libcurl progress callback of the streams (client is the engine client): 1, aborting the
 * transfer, when the client's cancel check returns non-zero; else 0. */
SV_API int sv_engine_queue_stream_progress(void *client, int64_t download_total,
                                           int64_t download_now, int64_t upload_total,
                                           int64_t upload_now) SV_NOEXCEPT;

/* ---- Queue watch ------------------------------------------------------------------------- */

/* The request of sv_engine_client_watch_queue. */
typedef struct sv_engine_watch_queue_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *queue;          /* the queue to watch; required */
} sv_engine_watch_queue_request;

/* One change of the queue's head (owned by the engine during the handler call). */
typedef struct sv_engine_queue_watch_event {
  char *namespace_name;    /* the queue's namespace */
  char *queue;             /* the queue */
  int32_t available;       /* 0 or 1 */
  char *head_message_id;   /* the id of the first message in the queue, or NULL */
  int64_t changed_at_unix; /* when the head changed, in seconds since the epoch */
  char *correlation_id;    /* the event's own, else the response's X-Correlation-Id */
} sv_engine_queue_watch_event;

/* Frees the strings and zeroes the event; NULL is accepted. */
SV_API void sv_engine_queue_watch_event_cleanup(sv_engine_queue_watch_event *event) SV_NOEXCEPT;

/* Called once per event; non-zero to continue. The event's strings are freed after it returns. */
typedef int (*sv_engine_queue_watch_handler)(void *context,
                                             const sv_engine_queue_watch_event *event,
                                             sv_engine_error *error);

/* POST "/v1/queue/watch": reads the server-sent events of the queue and hands each to handler,
 * until the server ends the stream (SV_OK), the handler refuses an event (its own error, else
 * SV_ERR_TRANSPORT "queue watch handler failed") or the transfer fails. "node_passive" answers
 * move to the next endpoint; when every endpoint answered so, SV_ERR_TRANSPORT "all endpoints
 * rejected the watch_queue request". Requires client, request, handler, error and a queue
 * ("watch_queue requires client, request, handler, error, and queue"). */
SV_API int sv_engine_client_watch_queue(const sv_engine_client *client,
                                        const sv_engine_watch_queue_request *request,
                                        sv_engine_queue_watch_handler handler, void *context,
                                        sv_engine_error *error) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_ENGINE_QUEUE_H */
