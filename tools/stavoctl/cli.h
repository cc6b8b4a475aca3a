// stavoctl: shared pieces of the command-line tool. Commands are described by a table (name,
// usage, options, how many positional words); the parser turns argv plus an optional config
// file into Args; a command reads Args, calls libstavoc through its public API and prints the
// result. Failures travel as exceptions carrying the exit status, so every handle and record is
// held by an RAII owner and nothing leaks on an early exit.
#pragma once

#include <stavoc.h>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace stavoctl {

// Exit statuses by class of failure (documented in README.md).
enum Exit : int {
  kExitOk = 0,
  kExitUsage = 1,        // bad arguments or configuration, or a request the library refused
  kExitNotFound = 2,     // unknown key, queue, message or attachment; no state; empty queue
  kExitConflict = 3,     // lease held or lost, fencing or precondition mismatch (HTTP 409/412)
  kExitUnavailable = 4,  // server unreachable, transfer failed, 503 / 502 / 504 / 429
  kExitServer = 5,       // any other server error, undecodable answer, bad client bundle
  kExitLocal = 6,        // local input/output: files, stdin/stdout, the --exec command
};

// Bad arguments: printed with a hint to --help, exit status 1.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A failure that has already been reported on stderr; carries the exit status.
struct Failure {
  int exit_code;
};

struct OptionSpec {
  std::string_view name;        // long name without "--"
  std::string_view value_name;  // empty: a flag
  std::string_view help;
};

// Options and positional words of one invocation. Options keep every value in order.
class Args {
 public:
  std::map<std::string, std::vector<std::string>, std::less<>> options;
  std::vector<std::string> positionals;

  bool has(std::string_view name) const { return options.find(name) != options.end(); }
  std::optional<std::string> get(std::string_view name) const;
  const char *c_str(std::string_view name) const;  // the last value, or null
  std::vector<std::string> all(std::string_view name) const;
  // Integer options; a malformed value is a UsageError naming the option.
  int64_t i64(std::string_view name, int64_t fallback) const;
  int32_t i32(std::string_view name, int32_t fallback) const;
  // A duration in seconds: "30", "30s", "5m", "2h" or "1500ms" (rounded up to seconds).
  int64_t seconds(std::string_view name, int64_t fallback) const;
};

struct Context;
using RunFn = int (*)(Context &ctx, const Args &args);

struct Command {
  std::string_view family;  // "lease"; the only word for single-word commands ("query")
  std::string_view name;    // "acquire"; empty for single-word commands
  std::string_view usage;   // the positional part of the synopsis
  std::string_view summary;
  std::vector<OptionSpec> options;
  size_t min_positionals;
  size_t max_positionals;  // SIZE_MAX: any number
  RunFn run;
  std::string_view details = {};  // extra help text
};

std::vector<Command> lease_commands();   // lease, state
std::vector<Command> attach_commands();  // attach
std::vector<Command> queue_commands();   // queue (subscribe included)
std::vector<Command> admin_commands();   // query, ns, index, txn, tc
Command completion_command();            // completion bash
// Every command, in help order.
std::vector<Command> all_commands();

// Connection settings after merging the config file and the command line.
struct GlobalOptions {
  std::vector<std::string> endpoints;
  std::string bundle;
  std::string cert, key, ca;  // separate PEM files instead of (or beside) the bundle
  bool trust_given_cas_only = false;
  std::string namespace_name;
  std::string unix_socket;
  std::string log_level = "off";
  int64_t timeout_ms = 30000;
  bool timeout_given = false;  // --timeout on the command line or in the config file
  bool insecure = false;
};

const std::vector<OptionSpec> &global_option_specs();

// Reads a config file of "name = value" lines into options (same names as the long options).
void read_config_file(const std::string &path, Args &into);
// Resolves the global options: command-line values win over the config file's.
GlobalOptions resolve_global_options(const Args &command_line);

struct Context {
  GlobalOptions global;
  std::string command_name;  // "lease acquire", used in error messages
  // Opens the client on first use (reuse_connections on); reports and throws on failure.
  sv_client *client();
  const char *namespace_or_default() const;
  // The whole-request timeout also bounds streams; a command that waits on purpose (a long
  // dequeue wait, subscribe, watch) lengthens it unless the user chose one.
  void allow_waiting(int64_t wait_seconds);
  ~Context();

 private:
  sv_client *client_ = nullptr;
  ember_logger *logger_ = nullptr;
};

// ---- Errors ----------------------------------------------------------------------------------

class ErrorRecord {
 public:
  ErrorRecord() { sv_error_init(&error_); }
  ~ErrorRecord() { sv_error_cleanup(&error_); }
  ErrorRecord(const ErrorRecord &) = delete;
  ErrorRecord &operator=(const ErrorRecord &) = delete;
  sv_error *get() { return &error_; }
  const sv_error &operator*() const { return error_; }

 private:
  sv_error error_;
};

// The exit status for a failed library call.
int exit_code_for(const sv_error &error);
// Prints the failure on stderr: the command, message, status code name, HTTP status, the
// server's error code, correlation id and detail.
void print_error(std::string_view command, const sv_error &error);
// When status is not SV_OK: print the error and throw Failure with its exit status.
void check(Context &ctx, int status, const sv_error &error);
// Prints "stavoctl: <command>: <message>" and throws Failure(code).
[[noreturn]] void fail(Context &ctx, int code, const std::string &message);
const char *status_name(int code);

// Owner of a result record: zeroed at first, cleaned up by its cleanup function at the end.
template <typename T, auto Cleanup>
struct Owned {
  T value{};
  Owned() = default;
  ~Owned() { Cleanup(&value); }
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  T *get() { return &value; }
  T *operator->() { return &value; }
};

// Throws a UsageError naming `what` when text (if given) is not one valid JSON document.
void require_json(const char *text, std::string_view what);
// Throws a UsageError when the option is missing or empty.
void require(const Args &args, std::string_view name);

// ---- Output ----------------------------------------------------------------------------------

// A JSON object built member by member; strings are escaped, null pointers become null.
class JsonObject {
 public:
  JsonObject &str(std::string_view key, const char *value);
  JsonObject &str(std::string_view key, std::string_view value);
  JsonObject &num(std::string_view key, int64_t value);
  JsonObject &unsigned_num(std::string_view key, uint64_t value);
  JsonObject &boolean(std::string_view key, bool value);
  JsonObject &raw(std::string_view key, std::string_view json);  // already valid JSON
  std::string text() const { return "{" + body_ + "}"; }

 private:
  void key(std::string_view name);
  std::string body_;
};

// A JSON string literal; bytes that are not UTF-8 become U+FFFD.
std::string json_string(std::string_view text);
bool is_utf8(std::string_view text);
std::string json_string_array(const sv_string_list &list);
// Writes one line of text to stdout; a failed write throws Failure(kExitLocal).
void print_line(Context &ctx, const std::string &line);
void print_json(Context &ctx, const JsonObject &object);

// ---- Sources and sinks -----------------------------------------------------------------------

// A sink into a descriptor or a file that remembers local write failures, so a failed transfer
// can be told apart from a failed local write.
class OutputSink {
 public:
  // "-" or empty: stdout; else the file at path (created or truncated).
  OutputSink(Context &ctx, const std::string &path);
  ~OutputSink();
  OutputSink(const OutputSink &) = delete;
  OutputSink &operator=(const OutputSink &) = delete;
  sv_sink *get();
  bool write_failed() const;
  // After a failed library call: a local write failure is exit 6, anything else as usual.
  void check(Context &ctx, int status, const sv_error &error);

  struct Impl;  // defined with the write callback

 private:
  Impl *impl_;
};

// The value of a write command: the positional word, --file PATH, or stdin ("-" as the word
// or as the path). Stdin is spooled to a temporary file so the source can be rewound for a
// resend to another endpoint.
class InputSource {
 public:
  InputSource(Context &ctx, const Args &args, std::optional<std::string> word);
  ~InputSource();
  InputSource(const InputSource &) = delete;
  InputSource &operator=(const InputSource &) = delete;
  sv_source *get() { return source_; }

 private:
  sv_source *source_ = nullptr;
};

// ---- Shared command pieces -------------------------------------------------------------------

// Options that name a held lease (--lease-id, --fencing-token, --txn-id) and those that acquire
// one for a single write (--owner, --ttl).
const std::vector<OptionSpec> &lease_identity_specs();
std::vector<OptionSpec> with_specs(std::vector<OptionSpec> own,
                                   const std::vector<OptionSpec> &more);

// A lease for one write: the caller's (--lease-id) or one acquired for this command, released
// (committing the write) by commit() and rolled back when the object dies uncommitted.
class WriteLease {
 public:
  WriteLease(Context &ctx, const Args &args, const std::string &key);
  ~WriteLease();
  WriteLease(const WriteLease &) = delete;
  WriteLease &operator=(const WriteLease &) = delete;
  const char *lease_id() const;
  const char *txn_id() const;
  int64_t fencing_token() const;
  bool acquired() const { return lease_ != nullptr; }
  // Releases an acquired lease, which commits the write; a failure is reported and thrown.
  void commit();

 private:
  Context &ctx_;
  sv_lease *lease_ = nullptr;
  std::string lease_id_, txn_id_;
  int64_t fencing_token_ = 0;
};

}  // namespace stavoctl
