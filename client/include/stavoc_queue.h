/*
 * Queues in libstavoc: the request and result records of the queue operations, the message
 * handle through which an application settles one delivered message, the subscribe consumer and
 * the queue watch handler.
 *
 *   sv_dequeue_req req;
 *   sv_dequeue_req_init(&req);
 *   req.queue = "jobs";
 *   req.owner = "worker-1";
 *   req.wait_seconds = 5;
 *   sv_message *message = NULL;
 *   if (sv_dequeue(client, &req, &message, &error) == SV_OK && message != NULL) {
 *     sv_message_write_payload(message, sink, NULL, &error);
 *     if (sv_message_ack(message, &error) != SV_OK) sv_message_close(message);
 *   }
 *
 * A message is delivered under a lease: until it is acked, nacked or its visibility timeout runs
 * out, no other consumer receives it. A successful sv_message_ack or sv_message_nack frees the
 * handle; every other path ends with sv_message_close, which does not return the message to the
 * queue (the server does so when the visibility timeout runs out).
 *
 * Request records are caller-owned; their init functions zero every member, and a zero member is
 * "not given". Result records are caller-owned, start zeroed, receive copies made with the
 * system allocator and are freed by their cleanup functions, which accept NULL and leave the
 * record zeroed.
 */
#ifndef STAVOC_QUEUE_H
#define STAVOC_QUEUE_H

#include <stddef.h>
#include <stdint.h>

#include "stavoc_client.h"
#include "stavoc_common.h"
#include "stavoc_lease.h"
#include "stavoc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Nack intents ------------------------------------------------------------------------ */

/* Why a message is handed back: a failure counts towards max_attempts (and may move the message
 * to the dead letters), a deferral does not. */
typedef int32_t sv_nack_intent;
#define SV_NACK_INTENT_UNSPECIFIED 0 /* sent as "failure" */
#define SV_NACK_INTENT_FAILURE 1     /* counts towards max_attempts */
#define SV_NACK_INTENT_DEFER 2       /* a deferral; does not count towards max_attempts */

/* The intent's name: "unspecified", "failure", "defer", or "invalid" for any other value. */
SV_API const char *sv_nack_intent_to_string(sv_nack_intent intent) SV_NOEXCEPT;
/* The intent as the server spells it ("failure" for unspecified and failure, "defer") in
 * *out_string (a static string). An unknown intent sets *out_string to NULL and fails with
 * SV_ERR_INVALID "invalid nack intent"; a NULL out_string fails with "nack intent mapping
 * requires output". */
SV_API int sv_nack_intent_to_wire_string(sv_nack_intent intent, const char **out_string,
                                         sv_error *error) SV_NOEXCEPT;

/* ---- Requests ---------------------------------------------------------------------------- */

/* dequeue, dequeue_batch, dequeue_with_state, subscribe and subscribe_with_state. */
struct sv_dequeue_req {
  const char *namespace_name;         /* NULL: the client's default namespace */
  const char *queue;                  /* the queue to take messages from; required */
  const char *owner;                  /* who holds the deliveries; required */
  const char *txn_id;                 /* accepted, not sent */
  int64_t visibility_timeout_seconds; /* 0: the queue's own */
  /* How long to wait for a message; negative: forever. A server that answers "waiting" or
   * "cas_mismatch" is asked again after its retry_after_seconds (or a growing pause), but a
   * finite wait ends within wait_seconds plus the client's timeout_ms: then the last refusal
   * is the answer (SV_ERR_SERVER, its retry_after_seconds in the error). */
  int64_t wait_seconds;
  int32_t page_size;       /* messages per request (dequeue: always 1; others: at least 1) */
  const char *start_after; /* a cursor (a message's next_cursor): deliver what comes after it */
};

/* The arguments of sv_message_nack. */
typedef struct sv_nack_req {
  int64_t delay_seconds;       /* keep the message invisible this long (0: visible at once) */
  sv_nack_intent intent;       /* SV_NACK_INTENT_* */
  const char *last_error_json; /* a JSON document stored as the message's last error, or NULL */
} sv_nack_req;

/* The arguments of sv_message_extend. */
typedef struct sv_extend_req {
  int64_t extend_by_seconds; /* 0: the message's visibility timeout */
} sv_extend_req;

/* The request of sv_queue_stats. */
struct sv_queue_stats_req {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *queue;          /* the queue; required */
};

/* The request of sv_enqueue. */
struct sv_enqueue_req {
  const char *namespace_name;         /* NULL: the client's default namespace */
  const char *queue;                  /* the queue to add the message to; required */
  int64_t delay_seconds;              /* invisible this long after the enqueue */
  int64_t visibility_timeout_seconds; /* 0: the server's default */
  int64_t ttl_seconds;                /* 0: no expiry */
  int32_t max_attempts;               /* 0: the server's default */
  const char *payload_content_type;   /* NULL: "application/octet-stream" */
};

/* A delivered message named by its members, for settling it without a message handle. */
struct sv_message_ref {
  const char *namespace_name; /* the queue's namespace (NULL: the client's default) */
  const char *queue;          /* the message's queue */
  const char *message_id;     /* the delivered message's id */
  const char *lease_id;       /* the delivery lease's id */
  const char *txn_id;         /* the delivery's transaction id, or NULL */
  int64_t fencing_token;      /* the delivery lease's fencing token */
  const char *meta_etag;      /* the message's meta ETag from the delivery */
  const char *state_etag;     /* the ETag of the message's state (deliveries with state), or NULL */
  const char *state_lease_id; /* the id of the lease on the message's state, or NULL */
  int64_t state_fencing_token; /* the fencing token of that state lease */
};

/* sv_queue_nack: a message reference and the nack arguments. */
struct sv_nack_op {
  const char *namespace_name; /* the queue's namespace (NULL: the client's default) */
  const char *queue;          /* the message's queue */
  const char *message_id;     /* the delivered message's id */
  const char *lease_id;       /* the delivery lease's id */
  const char *txn_id;         /* the delivery's transaction id, or NULL */
  int64_t fencing_token;      /* the delivery lease's fencing token */
  const char *meta_etag;      /* required */
  const char *state_etag;     /* the ETag of the message's state (deliveries with state), or NULL */
  const char *state_lease_id; /* the id of the lease on the message's state, or NULL */
  int64_t state_fencing_token; /* the fencing token of that state lease */
  int64_t delay_seconds;       /* keep the message invisible this long (0: visible at once) */
  sv_nack_intent intent;       /* SV_NACK_INTENT_* */
  const char *last_error_json; /* a JSON document stored as the message's last error, or NULL */
};

/* sv_queue_extend: a message reference and the extension. */
struct sv_extend_op {
  const char *namespace_name; /* the queue's namespace (NULL: the client's default) */
  const char *queue;          /* the message's queue */
  const char *message_id;     /* the delivered message's id */
  const char *lease_id;       /* the delivery lease's id */
  const char *txn_id;         /* the delivery's transaction id, or NULL */
  int64_t fencing_token;      /* the delivery lease's fencing token */
  const char *meta_etag;      /* required */
  const char *state_etag;     /* the ETag of the message's state (deliveries with state), or NULL */
  const char *state_lease_id; /* the id of the lease on the message's state, or NULL */
  int64_t state_fencing_token; /* the fencing token of that state lease */
  int64_t extend_by_seconds;   /* 0: the message's visibility timeout */
};

/* The request of sv_watch_queue. */
struct sv_watch_queue_req {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *queue;          /* the queue to watch; required */
};

/* Zeroes every member; NULL is ignored. */
SV_API void sv_dequeue_req_init(sv_dequeue_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_nack_req_init(sv_nack_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_extend_req_init(sv_extend_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_queue_stats_req_init(sv_queue_stats_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_enqueue_req_init(sv_enqueue_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_message_ref_init(sv_message_ref *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_nack_op_init(sv_nack_op *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_extend_op_init(sv_extend_op *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_watch_queue_req_init(sv_watch_queue_req *req) SV_NOEXCEPT;

/* ---- Results ----------------------------------------------------------------------------- */

/* The answer of sv_queue_stats: the queue's consumers, watchers and head message. */
struct sv_queue_stats_res {
  char *namespace_name;          /* the queue's namespace */
  char *queue;                   /* the queue */
  int32_t waiting_consumers;     /* consumers waiting for a message now */
  int32_t pending_candidates;    /* undelivered messages visible now */
  int32_t total_consumers;       /* consumers connected (open dequeue and subscribe streams) */
  int32_t has_active_watcher;    /* 1 when a queue watch is open */
  int32_t available;             /* a message is visible now */
  char *head_message_id;         /* the id of the first message in the queue, or NULL */
  int64_t head_enqueued_at_unix; /* when that message was enqueued, in seconds since the epoch */
  /* When that message becomes visible (seconds since the epoch). */
  int64_t head_not_visible_until_unix;
  int64_t head_age_seconds; /* how long that message has waited, in seconds */
  char *correlation_id;     /* the answer's correlation id, or NULL */
  int64_t messages;         /* messages held, visible or not (0 when the server does not say) */
  int64_t in_flight;        /* of them, leased to a consumer now */
  int64_t dead_letters;     /* messages moved aside after their last attempt */
};

/* The answer of sv_queue_ack. */
struct sv_ack_res {
  int32_t acked;        /* 1 when the server removed the message */
  char *correlation_id; /* the answer's correlation id, or NULL */
};

/* The answer of sv_queue_nack. */
struct sv_nack_res {
  int32_t requeued;     /* 0 when the message went to the dead letters */
  char *meta_etag;      /* the message's new meta ETag */
  char *correlation_id; /* the answer's correlation id, or NULL */
};

/* The answer of sv_queue_extend. */
struct sv_extend_res {
  int64_t lease_expires_at_unix; /* the delivery lease's new expiry, in seconds since the epoch */
  int64_t visibility_timeout_seconds;  /* the message's visibility timeout now, in seconds */
  char *meta_etag;                     /* the message's new meta ETag */
  int64_t state_lease_expires_at_unix; /* the state lease's new expiry (0: no state lease) */
  char *correlation_id;                /* the answer's correlation id, or NULL */
};

/* The answer of sv_enqueue: the stored message. */
struct sv_enqueue_res {
  char *namespace_name; /* the queue's namespace */
  char *queue;          /* the queue */
  char *message_id;     /* the new message's id */
  int32_t attempts;     /* delivery attempts of the message so far */
  int32_t max_attempts; /* failed attempts after which the message may go to the dead letters */
  /* Attempts that ended as a failure (these count towards max_attempts). */
  int32_t failure_attempts;
  int64_t not_visible_until_unix; /* when the message becomes visible, in seconds since the epoch */
  /* How long a delivery stays invisible to others, in seconds. */
  int64_t visibility_timeout_seconds;
  int64_t payload_bytes; /* bytes of the stored payload */
  char *correlation_id;  /* the answer's correlation id, or NULL */
};

/* The messages of sv_dequeue_batch, in arrival order; each is a handle of its own (settle it
 * with sv_message_ack or sv_message_nack and set its entry to NULL, or leave it to the
 * cleanup). */
struct sv_dequeue_batch_res {
  sv_message **items; /* count message handles, owned by the record until taken out */
  size_t count;       /* entries in items */
};

/* One change of a queue's head, handed to a watch handler. */
typedef struct sv_watch_event {
  char *namespace_name;    /* the queue's namespace */
  char *queue;             /* the queue */
  int32_t available;       /* a message is visible */
  char *head_message_id;   /* the id of the first message in the queue, or NULL */
  int64_t changed_at_unix; /* when the head changed, in seconds since the epoch */
  char *correlation_id;    /* the answer's correlation id, or NULL */
} sv_watch_event;

/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_queue_stats_res_init(sv_queue_stats_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_queue_stats_res_cleanup(sv_queue_stats_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_ack_res_init(sv_ack_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_ack_res_cleanup(sv_ack_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_nack_res_init(sv_nack_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_nack_res_cleanup(sv_nack_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_extend_res_init(sv_extend_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_extend_res_cleanup(sv_extend_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_enqueue_res_init(sv_enqueue_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_enqueue_res_cleanup(sv_enqueue_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_watch_event_cleanup(sv_watch_event *event) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_dequeue_batch_res_init(sv_dequeue_batch_res *batch) SV_NOEXCEPT;
/* Closes every message still in the batch (NULL entries are skipped), frees the array and
 * zeroes the record; NULL is ignored. */
SV_API void sv_dequeue_batch_cleanup(sv_dequeue_batch_res *batch) SV_NOEXCEPT;

/* ---- Handlers ---------------------------------------------------------------------------- */

/* The consumer of sv_subscribe. */
struct sv_consumer {
  /* Runs on a thread of its own for each delivery, while the payload still arrives through
   * message->payload. It must settle the message (sv_message_ack or sv_message_nack) and return
   * SV_OK to receive the next one; any other return, or SV_OK without settling, ends the
   * subscription with an error after the message was nacked as a failure. The handler may close
   * the message (sv_message_close): it is then neither acked nor nacked and comes back when its
   * visibility runs out, and the subscription never touches the handle again. A settled or
   * closed message's state lease goes with it. */
  int (*handle)(void *context, sv_message *message, sv_error *error);
  void *context; /* the first argument of handle; not touched by the library */
};

/* The handler of sv_watch_queue. */
struct sv_watch_handler {
  /* Called for every event (the event is only valid during the call); returns non-zero to go on
   * watching, 0 to stop (with error filled, the watch fails with it). */
  int (*handle)(void *context, const sv_watch_event *event, sv_error *error);
  void *context; /* the first argument of handle; not touched by the library */
};

/* Zeroes the record; NULL is ignored. */
SV_API void sv_consumer_init(sv_consumer *consumer) SV_NOEXCEPT;
/* Zeroes the record; NULL is ignored. */
SV_API void sv_watch_handler_init(sv_watch_handler *handler) SV_NOEXCEPT;

/* ---- Message handle ---------------------------------------------------------------------- */

/* One delivered message held under its delivery lease. The slots are called through the
 * sv_message_* functions below. The view after the slots is read-only; its strings belong to the
 * handle and stay valid until the handle is freed (meta_etag until the next extend). */
struct sv_message {
  int (*ack)(sv_message *self, sv_error *error); /* the method of sv_message_ack */
  /* The method of sv_message_nack. */
  int (*nack)(sv_message *self, const sv_nack_req *req, sv_error *error);
  /* The method of sv_message_extend. */
  int (*extend)(sv_message *self, const sv_extend_req *req, sv_error *error);
  sv_lease *(*state)(sv_message *self);           /* the method of sv_message_state */
  sv_source *(*payload_reader)(sv_message *self); /* the method of sv_message_payload */
  /* The method of sv_message_rewind_payload. */
  int (*rewind_payload)(sv_message *self, sv_error *error);
  /* The method of sv_message_write_payload. */
  int (*write_payload)(sv_message *self, sv_sink *dst, uint64_t *out_written, sv_error *error);
  void (*close)(sv_message *self); /* the method of sv_message_close */

  const char *namespace_name; /* the queue's namespace */
  const char *queue;          /* the queue the message came from */
  const char *message_id;     /* the message's id */
  int32_t attempts;           /* delivery attempts of the message, as the server counts them */
  int32_t max_attempts; /* failed attempts after which the message may go to the dead letters */
  /* Attempts that ended as a failure (these count towards max_attempts). */
  int32_t failure_attempts;
  /* When the message becomes visible again, in seconds since the epoch. */
  int64_t not_visible_until_unix;
  /* How long a delivery stays invisible to others, in seconds. */
  int64_t visibility_timeout_seconds;
  const char *payload_content_type; /* the payload's content type, or NULL */
  const char *correlation_id;       /* the delivery's correlation id, or NULL */
  const char *lease_id;             /* the delivery lease's id */
  int64_t lease_expires_at_unix; /* when the delivery lease expires, in seconds since the epoch */
  int64_t fencing_token;         /* the delivery lease's fencing token */
  const char *txn_id;            /* the delivery's transaction id, or NULL */
  const char *meta_etag;         /* the message's meta ETag, sent when it is settled */
  const char *next_cursor;       /* the cursor after this message (for start_after), or NULL */
  sv_source *payload;            /* the payload bytes, or NULL; owned by the handle */
};

/* Acknowledges the message: the server removes it from the queue and commits the staged writes
 * of its state lease. On success the handle is freed; on failure it stays open (retry or close).
 * "message ack requires self". */
SV_API int sv_message_ack(sv_message *message, sv_error *error) SV_NOEXCEPT;
/* Hands the message back to the queue with req's intent, delay and last error, and rolls back
 * the staged writes of its state lease. On success the handle is freed; on failure it stays
 * open. An unknown intent fails with SV_ERR_INVALID "invalid nack intent" before anything is
 * sent. "message nack requires self and req". */
SV_API int sv_message_nack(sv_message *message, const sv_nack_req *req, sv_error *error)
    SV_NOEXCEPT;
/* Extends the delivery lease by req->extend_by_seconds; the view's meta_etag,
 * lease_expires_at_unix and visibility_timeout_seconds (and the state lease's expiry) take the
 * server's new values. "message extend requires self and req". */
SV_API int sv_message_extend(sv_message *message, const sv_extend_req *req, sv_error *error)
    SV_NOEXCEPT;
/* The lease on the message's state document (deliveries with state), owned by the message: use
 * it for reads and writes. It may be released or closed before the message is settled; the
 * message then forgets it (this returns NULL from then on) and never frees it again. NULL for a
 * NULL message or a delivery without state. */
SV_API sv_lease *sv_message_state(sv_message *message) SV_NOEXCEPT;
/* The payload source, owned by the message; NULL for a NULL message or when there is none. */
SV_API sv_source *sv_message_payload(sv_message *message) SV_NOEXCEPT;
/* Rewinds the payload to its first byte. Payloads of synchronous dequeues can be rewound;
 * streamed ones (subscribe) fail with "streamed payloads are not rewindable". A NULL message:
 * SV_ERR_INVALID "message rewind_payload requires message"; no payload: "message has no
 * payload". */
SV_API int sv_message_rewind_payload(sv_message *message, sv_error *error) SV_NOEXCEPT;
/* Copies the rest of the payload into dst; *out_written (when given) receives the number of
 * bytes written, 0 when the message has no payload. A payload that fails part-way (a cut stream)
 * returns its error. "message write_payload requires message and dst". */
SV_API int sv_message_write_payload(sv_message *message, sv_sink *dst, uint64_t *out_written,
                                    sv_error *error) SV_NOEXCEPT;
/* Frees the handle, its payload and its state lease without telling the server. NULL is
 * ignored. */
SV_API void sv_message_close(sv_message *message) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_QUEUE_H */
