// queue subscribe: keeps a subscribe stream open and handles each delivery in turn, either by
// printing it (and acking) or by running a shell command with the payload on its stdin (ack on
// exit status 0, nack otherwise). SIGINT and SIGTERM stop it between messages: a signal that
// arrives while a message is handled lets that message finish and be settled first.
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "queue_message.h"

extern char **environ;

namespace stavoctl {
namespace {

struct Subscription {
  Context *ctx = nullptr;
  std::string command;  // empty: print each message
  int64_t max = 0;      // 0: no limit
  int64_t nack_delay = 0;
  std::mutex mutex;
  int64_t handled = 0;
  bool busy = false;
  bool stop_requested = false;
  bool finished = false;  // ended on purpose: --max reached or a signal
  int exit_code = 0;      // a failure already reported by the handler
};

// ---- The command ------------------------------------------------------------------------------

std::vector<std::string> message_environment(sv_message &message) {
  std::vector<std::string> env;
  // The message's variables replace inherited ones; the connection settings stay, so that the
  // command can call stavoctl itself (STAVO_NAMESPACE becomes the message's).
  for (char **entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "STAVO_", 6) != 0 ||
        std::strncmp(*entry, "STAVO_ENDPOINT=", 15) == 0 ||
        std::strncmp(*entry, "STAVO_BUNDLE=", 13) == 0) {
      env.emplace_back(*entry);
    }
  }
  auto add = [&](const char *name, const char *value) {
    if (value != nullptr) env.push_back(std::string(name) + "=" + value);
  };
  auto add_number = [&](const char *name, int64_t value) {
    env.push_back(std::string(name) + "=" + std::to_string(value));
  };
  add("STAVO_NAMESPACE", message.namespace_name);
  add("STAVO_QUEUE", message.queue);
  add("STAVO_MESSAGE_ID", message.message_id);
  add_number("STAVO_ATTEMPTS", message.attempts);
  add_number("STAVO_MAX_ATTEMPTS", message.max_attempts);
  add_number("STAVO_FAILURE_ATTEMPTS", message.failure_attempts);
  add("STAVO_LEASE_ID", message.lease_id);
  add_number("STAVO_FENCING_TOKEN", message.fencing_token);
  add("STAVO_META_ETAG", message.meta_etag);
  add("STAVO_TXN_ID", message.txn_id);
  add("STAVO_CONTENT_TYPE", message.payload_content_type);
  add("STAVO_CORRELATION_ID", message.correlation_id);
  if (sv_lease *state = sv_message_state(&message)) {
    add("STAVO_STATE_KEY", state->key);
    add("STAVO_STATE_LEASE_ID", state->lease_id);
    add_number("STAVO_STATE_FENCING_TOKEN", state->fencing_token);
  }
  return env;
}

// Runs the command with the payload on its stdin; returns its wait status. The whole payload is
// read even when the command stops reading, so the stream stays in step.
int run_command(Subscription &sub, sv_message &message) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    fail(*sub.ctx, kExitLocal, std::string("cannot create a pipe: ") + std::strerror(errno));
  }
  std::vector<std::string> env = message_environment(message);
  std::vector<char *> envp;
  for (std::string &entry : env)
    envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], STDIN_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t no_signals, defaults;
  sigemptyset(&no_signals);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attributes, &no_signals);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::string shell_command = sub.command;
  char shell[] = "/bin/sh";
  char dash_c[] = "-c";
  char *argv[] = {shell, dash_c, shell_command.data(), nullptr};
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(pipe_fds[0]);
  if (spawned != 0) {
    ::close(pipe_fds[1]);
    fail(*sub.ctx, kExitLocal, std::string("cannot run /bin/sh: ") + std::strerror(spawned));
  }

  sv_source *payload = sv_message_payload(&message);
  bool writing = true;
  ErrorRecord error;
  char buffer[65536];
  while (payload != nullptr) {
    size_t got = payload->read(payload, buffer, sizeof buffer, error.get());
    if (got == 0) break;
    for (size_t done = 0; writing && done < got;) {
      ssize_t written = ::write(pipe_fds[1], buffer + done, got - done);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        writing = false;  // the command closed its stdin; keep draining the payload
        break;
      }
      done += static_cast<size_t>(written);
    }
  }
  ::close(pipe_fds[1]);
  int wait_status = 0;
  while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  check(*sub.ctx, (*error).code, *error);  // a cut payload stream
  return wait_status;
}

void settle(Subscription &sub, sv_message &message, int wait_status) {
  ErrorRecord error;
  if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) {
    check(*sub.ctx, sv_message_ack(&message, error.get()), *error);
    return;
  }
  std::string reason =
      WIFEXITED(wait_status)
          ? "command exited with status " + std::to_string(WEXITSTATUS(wait_status))
          : "command killed by signal " + std::to_string(WTERMSIG(wait_status));
  std::fprintf(stderr, "stavoctl: %s: message %s: %s, nacked\n", sub.ctx->command_name.c_str(),
               message.message_id != nullptr ? message.message_id : "?", reason.c_str());
  std::string last_error = JsonObject().str("error", reason).text();
  sv_nack_req req;
  sv_nack_req_init(&req);
  req.intent = SV_NACK_INTENT_FAILURE;
  req.delay_seconds = sub.nack_delay;
  req.last_error_json = last_error.c_str();
  check(*sub.ctx, sv_message_nack(&message, &req, error.get()), *error);
}

void handle_message(Subscription &sub, sv_message &message) {
  if (sub.command.empty()) {
    JsonObject out = message_json(message);
    add_payload(out, read_payload(*sub.ctx, message));
    print_json(*sub.ctx, out);
    ErrorRecord error;
    check(*sub.ctx, sv_message_ack(&message, error.get()), *error);
    return;
  }
  settle(sub, message, run_command(sub, message));
}

int on_message(void *context, sv_message *message, sv_error *error) {
  auto &sub = *static_cast<Subscription *>(context);
  {
    std::lock_guard<std::mutex> lock(sub.mutex);
    if (sub.stop_requested) {
      // Stopping: hand the message straight back without counting an attempt.
      sv_nack_req req;
      sv_nack_req_init(&req);
      req.intent = SV_NACK_INTENT_DEFER;
      sv_message_nack(message, &req, nullptr);
      sub.finished = true;
      return sv_error_set(error, SV_ERR_INVALID, 0, "subscription stopped", nullptr, nullptr,
                          nullptr);
    }
    sub.busy = true;
  }
  int code = SV_OK;
  try {
    handle_message(sub, *message);
  } catch (const Failure &failure) {
    code = SV_ERR_TRANSPORT;
    std::lock_guard<std::mutex> lock(sub.mutex);
    sub.exit_code = failure.exit_code;
  } catch (const std::exception &) {
    code = SV_ERR_NOMEM;
    std::lock_guard<std::mutex> lock(sub.mutex);
    sub.exit_code = kExitLocal;
  }
  std::lock_guard<std::mutex> lock(sub.mutex);
  sub.busy = false;
  if (code != SV_OK) {
    return sv_error_set(error, code, 0, "message handling failed", nullptr, nullptr, nullptr);
  }
  ++sub.handled;
  if (sub.stop_requested || (sub.max > 0 && sub.handled >= sub.max)) {
    sub.finished = true;
    return sv_error_set(error, SV_ERR_INVALID, 0, "subscription finished", nullptr, nullptr,
                        nullptr);
  }
  return SV_OK;
}

// ---- Signals ----------------------------------------------------------------------------------

// Waits for SIGINT or SIGTERM (SIGUSR1 only wakes it to end). While no message is being
// handled the process ends at once: nothing is held that the server would not give back.
struct SignalWatcher {
  Subscription *sub = nullptr;
  sigset_t signals;
  pthread_t thread{};
  bool started = false;

  static void *main(void *context) {
    auto *watcher = static_cast<SignalWatcher *>(context);
    for (;;) {
      int signal_number = 0;
      if (sigwait(&watcher->signals, &signal_number) != 0) continue;
      if (signal_number == SIGUSR1) return nullptr;
      std::lock_guard<std::mutex> lock(watcher->sub->mutex);
      watcher->sub->stop_requested = true;
      if (!watcher->sub->busy) {
        std::fflush(stdout);
        std::_Exit(kExitOk);
      }
    }
  }

  void start(Subscription &subscription) {
    sub = &subscription;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    // Every thread started from here on (libcurl's, the handler threads) inherits the mask.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    started = pthread_create(&thread, nullptr, &SignalWatcher::main, this) == 0;
  }

  ~SignalWatcher() {
    if (!started) return;
    pthread_kill(thread, SIGUSR1);
    pthread_join(thread, nullptr);
  }
};

int queue_subscribe(Context &ctx, const Args &args) {
  Subscription sub;
  sub.ctx = &ctx;
  sub.command = args.get("exec").value_or("");
  sub.max = args.i64("max", 0);
  sub.nack_delay = args.seconds("nack-delay", 0);
  if (sub.max < 0) throw UsageError("--max must not be negative");
  if (args.has("exec") && sub.command.empty()) throw UsageError("--exec needs a command");
  sv_dequeue_req req;
  sv_dequeue_req_init(&req);
  req.queue = args.positionals[0].c_str();
  req.owner = args.c_str("owner") != nullptr ? args.c_str("owner") : "stavoctl";
  req.visibility_timeout_seconds = args.seconds("visibility", 0);
  req.wait_seconds = args.has("wait") ? args.seconds("wait", 0) : -1;
  req.page_size = args.i32("prefetch", 1);
  if (req.page_size < 1) throw UsageError("--prefetch must be at least 1");
  sv_consumer consumer;
  sv_consumer_init(&consumer);
  consumer.handle = on_message;
  consumer.context = &sub;
  ctx.allow_waiting(-1);
  sv_client *client = ctx.client();

  SignalWatcher watcher;
  watcher.start(sub);
  ErrorRecord error;
  int status = args.has("with-state")
                   ? sv_subscribe_with_state(client, &req, &consumer, error.get())
                   : sv_subscribe(client, &req, &consumer, error.get());
  std::lock_guard<std::mutex> lock(sub.mutex);
  if (sub.exit_code != 0) return sub.exit_code;  // reported by the handler
  if (sub.finished) return kExitOk;
  check(ctx, status, *error);
  return kExitOk;
}

}  // namespace

Command subscribe_command() {
  return {"queue",
          "subscribe",
          "QUEUE",
          "Receive messages until stopped: print each (and ack) or run --exec for each.",
          {{"exec", "CMD", "run CMD via /bin/sh per message; exit 0 acks, else nacks"},
           {"max", "N", "stop after N messages"},
           {"owner", "NAME", "consumer name (default \"stavoctl\")"},
           {"wait", "DURATION", "end after this long without a message (default: never)"},
           {"visibility", "DURATION", "visibility timeout of each delivery"},
           {"prefetch", "N", "deliveries the server may send ahead (default 1)"},
           {"nack-delay", "DURATION", "delay of a nacked message (default 0)"},
           {"with-state", "", "also lease each message's state document"}},
          1,
          1,
          queue_subscribe,
          "Without --exec each message is printed as a JSON line (as 'queue dequeue' does) and\n"
          "acked. With --exec the payload is CMD's stdin, and STAVO_QUEUE, STAVO_NAMESPACE,\n"
          "STAVO_MESSAGE_ID, STAVO_ATTEMPTS, STAVO_MAX_ATTEMPTS, STAVO_FAILURE_ATTEMPTS,\n"
          "STAVO_LEASE_ID, STAVO_FENCING_TOKEN, STAVO_META_ETAG, STAVO_TXN_ID,\n"
          "STAVO_CONTENT_TYPE, STAVO_CORRELATION_ID (and STAVO_STATE_KEY, "
          "STAVO_STATE_LEASE_ID,\n"
          "STAVO_STATE_FENCING_TOKEN with --with-state) describe the message. SIGINT or SIGTERM\n"
          "stops after the message in hand is settled (exit 0)."};
}

}  // namespace stavoctl
