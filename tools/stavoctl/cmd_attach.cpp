// attach put|list|get|delete: the attachments stored beside a key.
#include "cli.h"

namespace stavoctl {
namespace {

JsonObject info_json(const sv_attachment_info &info) {
  JsonObject out;
  out.str("id", info.id)
      .str("name", info.name)
      .num("size", info.size)
      .str("plaintext_sha256", info.plaintext_sha256)
      .str("content_type", info.content_type)
      .num("created_at_unix", info.created_at_unix)
      .num("updated_at_unix", info.updated_at_unix);
  return out;
}

// The attachment an argument names: NAME as the positional word, or --id.
sv_attachment_selector selector_of(const Args &args) {
  sv_attachment_selector selector;
  sv_attachment_selector_init(&selector);
  selector.id = args.c_str("id");
  if (args.positionals.size() > 1) selector.name = args.positionals[1].c_str();
  if (selector.id == nullptr && selector.name == nullptr) {
    throw UsageError("name the attachment: NAME or --id ID");
  }
  return selector;
}

int attach_put(Context &ctx, const Args &args) {
  const std::string &key = args.positionals[0];
  std::optional<std::string> word;
  if (args.positionals.size() > 2) word = args.positionals[2];
  InputSource source(ctx, args, word);
  WriteLease lease(ctx, args, key);
  sv_attach_op req;
  sv_attach_op_init(&req);
  req.key = key.c_str();
  req.lease_id = lease.lease_id();
  req.txn_id = lease.txn_id();
  req.fencing_token = lease.fencing_token();
  req.name = args.positionals[1].c_str();
  req.content_type = args.c_str("content-type");
  req.max_bytes = args.i64("max-bytes", 0);
  req.prevent_overwrite = args.has("no-overwrite") ? 1 : 0;
  Owned<sv_attach_res, sv_attach_res_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_attach(ctx.client(), &req, source.get(), res.get(), error.get()), *error);
  lease.commit();
  print_json(ctx, info_json(res->info)
                      .boolean("noop", res->noop != 0)
                      .num("version", res->version)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int attach_list(Context &ctx, const Args &args) {
  sv_attachment_list_req req;
  sv_attachment_list_req_init(&req);
  req.key = args.positionals[0].c_str();
  req.lease_id = args.c_str("lease-id");
  req.txn_id = args.c_str("txn-id");
  req.fencing_token = args.i64("fencing-token", 0);
  req.public_read = req.lease_id == nullptr ? 1 : 0;
  Owned<sv_attachment_list, sv_attachment_list_cleanup> res;
  ErrorRecord error;
  check(ctx, sv_list_attachments(ctx.client(), &req, res.get(), error.get()), *error);
  std::string items = "[";
  for (size_t index = 0; index < res->count; ++index) {
    if (index > 0) items += ",";
    items += info_json(res->items[index]).text();
  }
  items += "]";
  print_json(ctx, JsonObject()
                      .str("key", req.key)
                      .raw("attachments", items)
                      .str("correlation_id", res->correlation_id));
  return kExitOk;
}

int attach_get(Context &ctx, const Args &args) {
  sv_attachment_get_op req;
  sv_attachment_get_op_init(&req);
  req.key = args.positionals[0].c_str();
  req.lease_id = args.c_str("lease-id");
  req.txn_id = args.c_str("txn-id");
  req.fencing_token = args.i64("fencing-token", 0);
  req.selector = selector_of(args);
  req.public_read = req.lease_id == nullptr ? 1 : 0;
  OutputSink sink(ctx, args.get("output").value_or("-"));
  Owned<sv_attachment_get_res, sv_attachment_get_res_cleanup> res;
  ErrorRecord error;
  sink.check(ctx, sv_get_attachment(ctx.client(), &req, sink.get(), res.get(), error.get()),
             *error);
  return kExitOk;
}

int attach_delete(Context &ctx, const Args &args) {
  const std::string &key = args.positionals[0];
  bool all = args.has("all");
  if (all && (args.positionals.size() > 1 || args.has("id"))) {
    throw UsageError("--all deletes every attachment; do not name one");
  }
  sv_attachment_selector selector{};
  if (!all) selector = selector_of(args);
  WriteLease lease(ctx, args, key);
  ErrorRecord error;
  JsonObject out;
  out.str("key", key);
  if (all) {
    sv_attachment_delete_all_op req;
    sv_attachment_delete_all_op_init(&req);
    req.key = key.c_str();
    req.lease_id = lease.lease_id();
    req.txn_id = lease.txn_id();
    req.fencing_token = lease.fencing_token();
    int32_t count = 0;
    check(ctx, sv_delete_all_attachments(ctx.client(), &req, &count, error.get()), *error);
    out.num("deleted_count", count);
  } else {
    sv_attachment_delete_op req;
    sv_attachment_delete_op_init(&req);
    req.key = key.c_str();
    req.lease_id = lease.lease_id();
    req.txn_id = lease.txn_id();
    req.fencing_token = lease.fencing_token();
    req.selector = selector;
    int32_t deleted = 0;
    check(ctx, sv_delete_attachment(ctx.client(), &req, &deleted, error.get()), *error);
    out.boolean("deleted", deleted != 0);
  }
  lease.commit();
  print_json(ctx, out);
  return kExitOk;
}

}  // namespace

std::vector<Command> attach_commands() {
  const std::vector<OptionSpec> read_lease = {
      {"lease-id", "ID", "read under this lease (default: the committed attachments)"},
      {"fencing-token", "N", "fencing token of --lease-id"},
      {"txn-id", "ID", "transaction of --lease-id"},
  };
  const char *const write_details =
      "Without --lease-id the command acquires the key's lease around the change and releases "
      "it,\nwhich commits the change.";
  return {
      {"attach", "put", "KEY NAME [VALUE|-]", "Store VALUE, --file or stdin as attachment NAME.",
       with_specs({{"file", "PATH", "read the bytes from PATH (- for stdin)"},
                   {"content-type", "TYPE", "default application/octet-stream"},
                   {"max-bytes", "N", "refuse a larger upload"},
                   {"no-overwrite", "", "fail when NAME exists with other bytes"}},
                  lease_identity_specs()),
       2, 3, attach_put, write_details},
      {"attach", "list", "KEY", "List the key's attachments as JSON.", read_lease, 1, 1,
       attach_list},
      {"attach", "get", "KEY [NAME]", "Print an attachment raw (by NAME or --id).",
       with_specs({{"id", "ID", "the attachment's id"},
                   {"output", "PATH", "write the bytes to PATH instead of stdout"}},
                  read_lease),
       1, 2, attach_get},
      {"attach", "delete", "KEY [NAME]", "Delete an attachment (by NAME or --id) or --all.",
       with_specs({{"id", "ID", "the attachment's id"}, {"all", "", "delete every attachment"}},
                  lease_identity_specs()),
       1, 2, attach_delete, write_details},
  };
}

}  // namespace stavoctl
