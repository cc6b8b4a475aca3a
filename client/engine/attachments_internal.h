// The wire records of the attachment answers and the copies into the caller's records, shared
// by the attachment operations and the two parse functions.
#ifndef STAVOC_ENGINE_ATTACHMENTS_INTERNAL_H
#define STAVOC_ENGINE_ATTACHMENTS_INTERNAL_H

#include "stream_internal.h"

// {"attachment": {...}, "noop": bool, "version": int}
struct AttachReply {
  sv_engine_attachment_info attachment;
  int32_t noop;
  int64_t version;
};
extern const brindle_map sv_engine_attach_reply_map;

// {"namespace": ..., "key": ..., "attachments": [{...}, ...]}
struct ListAttachmentsReply {
  char *namespace_name;
  char *key;
  brindle_object_array attachments;  // of sv_engine_attachment_info
};
extern const brindle_map sv_engine_list_attachments_reply_map;

// Copies into the caller's response (cleaned first); on failure the response is left clean and
// the error filled.
int sv_engine_copy_attach_reply(const AttachReply &reply, const char *correlation_id,
                                sv_engine_attach_response *response,
                                sv_engine_error *error) noexcept;
int sv_engine_copy_list_attachments_reply(const ListAttachmentsReply &reply,
                                          const char *correlation_id,
                                          sv_engine_list_attachments_response *response,
                                          sv_engine_error *error) noexcept;

#endif
