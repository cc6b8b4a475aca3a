// The maps that read the JSON answers of the lease and state operations. Every member is
// optional and unknown keys are skipped, so a server that adds members does not break us.
#include <cstddef>

#include "state_internal.h"

namespace sv_state {

namespace {

const brindle_field query_hidden_fields[] = {
    BRINDLE_DECL_BOOL(QueryHiddenJson, query_hidden, "query_hidden", 0),
};
const brindle_map query_hidden_map =
    BRINDLE_MAP("sv_engine_query_hidden_json", QueryHiddenJson, query_hidden_fields);

const brindle_field acquire_fields[] = {
    BRINDLE_DECL_STRING(AcquireJson, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(AcquireJson, key, "key", 0),
    BRINDLE_DECL_STRING(AcquireJson, owner, "owner", 0),
    BRINDLE_DECL_STRING(AcquireJson, lease_id, "lease_id", 0),
    BRINDLE_DECL_STRING(AcquireJson, txn_id, "txn_id", 0),
    BRINDLE_DECL_I64(AcquireJson, expires_at_unix, "expires_at_unix", 0),
    BRINDLE_DECL_I64(AcquireJson, version, "version", 0),
    BRINDLE_DECL_STRING(AcquireJson, state_etag, "state_etag", 0),
    BRINDLE_DECL_I64(AcquireJson, fencing_token, "fencing_token", 0),
};

const brindle_field keepalive_fields[] = {
    BRINDLE_DECL_I64(KeepaliveJson, expires_at_unix, "expires_at_unix", 0),
    BRINDLE_DECL_I64(KeepaliveJson, version, "version", 0),
    BRINDLE_DECL_STRING(KeepaliveJson, state_etag, "state_etag", 0),
};

const brindle_field release_fields[] = {
    BRINDLE_DECL_BOOL(ReleaseJson, released, "released", 0),
};

const brindle_field update_fields[] = {
    BRINDLE_DECL_I64(UpdateJson, new_version, "new_version", 0),
    BRINDLE_DECL_STRING(UpdateJson, new_state_etag, "new_state_etag", 0),
    BRINDLE_DECL_I64(UpdateJson, bytes, "bytes", 0),
};

const brindle_field metadata_fields[] = {
    BRINDLE_DECL_STRING(MetadataJson, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(MetadataJson, key, "key", 0),
    BRINDLE_DECL_I64(MetadataJson, version, "version", 0),
    BRINDLE_DECL_OBJECT(MetadataJson, metadata, "metadata", 0, &query_hidden_map),
};

const brindle_field remove_fields[] = {
    BRINDLE_DECL_BOOL(RemoveJson, removed, "removed", 0),
    BRINDLE_DECL_I64(RemoveJson, new_version, "new_version", 0),
};

const brindle_field describe_fields[] = {
    BRINDLE_DECL_STRING(DescribeJson, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(DescribeJson, key, "key", 0),
    BRINDLE_DECL_STRING(DescribeJson, owner, "owner", 0),
    BRINDLE_DECL_STRING(DescribeJson, lease_id, "lease_id", 0),
    BRINDLE_DECL_I64(DescribeJson, expires_at_unix, "expires_at_unix", 0),
    BRINDLE_DECL_I64(DescribeJson, version, "version", 0),
    BRINDLE_DECL_STRING(DescribeJson, state_etag, "state_etag", 0),
    BRINDLE_DECL_I64(DescribeJson, updated_at_unix, "updated_at_unix", 0),
    BRINDLE_DECL_OBJECT(DescribeJson, metadata, "metadata", 0, &query_hidden_map),
};

}  // namespace

const brindle_map acquire_response_map =
    BRINDLE_MAP("sv_engine_acquire_response_json", AcquireJson, acquire_fields);
const brindle_map keepalive_response_map =
    BRINDLE_MAP("sv_engine_keepalive_response_json", KeepaliveJson, keepalive_fields);
const brindle_map release_response_map =
    BRINDLE_MAP("sv_engine_release_response_json", ReleaseJson, release_fields);
const brindle_map update_response_map =
    BRINDLE_MAP("sv_engine_update_response_json", UpdateJson, update_fields);
const brindle_map metadata_response_map =
    BRINDLE_MAP("sv_engine_metadata_response_json", MetadataJson, metadata_fields);
const brindle_map remove_response_map =
    BRINDLE_MAP("sv_engine_remove_response_json", RemoveJson, remove_fields);
const brindle_map describe_response_map =
    BRINDLE_MAP("sv_engine_describe_response_json", DescribeJson, describe_fields);

}  // namespace sv_state
