// stavo-devserver: a local stavo server for development and tests.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devserver/dev_certs.h"
#include "devserver/nghttpx.h"
#include "devserver/server.h"

namespace {

const char kUsage[] =
    "usage: stavo-devserver [options]\n"
    "\n"
    "A local stavo server: leases, state and attachments kept in memory (attachment bytes in a\n"
    "temporary directory), served as plain HTTP/1.1; with --tls or --unix-socket, nghttpx is\n"
    "started in front of it for TLS with client certificates, HTTP/2 and Unix sockets.\n"
    "\n"
    "options:\n"
    "  --listen HOST:PORT     plain HTTP address (default 127.0.0.1:7380; port 0 picks one)\n"
    "  --tls DIR              serve HTTPS (h2 and http/1.1, client certificate required) with the\n"
    "                         certificates in DIR, generating them when missing\n"
    "  --tls-listen HOST:PORT HTTPS address (default 127.0.0.1:7443, reached as\n"
    "                         https://localhost:7443; port 0 picks one)\n"
    "  --unix-socket PATH     also serve plain HTTP (and h2c) on a Unix domain socket\n"
    "  --passive              answer every /v1/ request with 503 \"node_passive\"\n"
    "  --dev-controls         serve the /_dev/ control paths (request log, faults, clock, state)\n"
    "  --frozen-clock         time moves only through POST /_dev/clock/advance\n"
    "  --data-dir DIR         keep attachment bytes in DIR (default: a temporary directory)\n"
    "  --threads N            concurrent requests (default 128)\n"
    "  --nghttpx PATH         the nghttpx binary (default /usr/sbin/nghttpx)\n"
    "  --cert-script PATH     the certificate script (default: share/stavo/dev-certs of the\n"
    "                         installation, or scripts/dev-certs of the checkout)\n"
    "  --hostile MODE[:PATH]  answer every /v1/ request (or those to PATH) with a hostile answer:\n"
    "                         endless-headers, huge-error-body, endless-meta-part,\n"
    "                         endless-sse-line, payload-too-short, payload-too-long, trickle,\n"
    "                         redirect, cut-mid-body (repeatable; the first match answers)\n"
    "  --quiet                do not print one line per request\n"
    "  --help                 this text\n"
    "\n"
    "It runs until SIGINT or SIGTERM and then stops nghttpx and itself.\n";

bool split_address(const std::string &text, std::string &host, int &port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  host = text.substr(0, colon);
  char *end = nullptr;
  long value = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (host.empty() || *end != '\0' || end == text.c_str() + colon + 1 || value < 0 ||
      value > 65535) {
    return false;
  }
  port = static_cast<int>(value);
  return true;
}

int fail(const std::string &message) {
  std::cerr << "stavo-devserver: " << message << "\n";
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  stavo::devserver::ServerOptions options;
  options.port = 7380;
  options.threads = 128;
  std::string tls_dir, unix_socket, nghttpx_binary, cert_script;
  std::string tls_host = "127.0.0.1";
  int tls_port = 7443;
  bool quiet = false;
  std::vector<stavo::devserver::HostileRule> hostile_rules;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string &out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--listen") {
      if (!value(text) || !split_address(text, options.host, options.port)) {
        return fail("--listen needs HOST:PORT");
      }
    } else if (arg == "--tls") {
      if (!value(tls_dir)) return fail("--tls needs a directory");
    } else if (arg == "--tls-listen") {
      if (!value(text) || !split_address(text, tls_host, tls_port)) {
        return fail("--tls-listen needs HOST:PORT");
      }
    } else if (arg == "--unix-socket") {
      if (!value(unix_socket)) return fail("--unix-socket needs a path");
    } else if (arg == "--passive") {
      options.passive = true;
    } else if (arg == "--dev-controls") {
      options.dev_controls = true;
    } else if (arg == "--frozen-clock") {
      options.clock_running = false;
    } else if (arg == "--data-dir") {
      if (!value(options.data_dir)) return fail("--data-dir needs a directory");
    } else if (arg == "--threads") {
      if (!value(text) || std::atoi(text.c_str()) < 1) return fail("--threads needs a number");
      options.threads = static_cast<size_t>(std::atoi(text.c_str()));
    } else if (arg == "--nghttpx") {
      if (!value(nghttpx_binary)) return fail("--nghttpx needs a path");
    } else if (arg == "--cert-script") {
      if (!value(cert_script)) return fail("--cert-script needs a path");
    } else if (arg == "--hostile") {
      if (!value(text)) return fail("--hostile needs a mode");
      const size_t colon = text.find(':');
      const auto mode = stavo::devserver::parse_hostile_mode(text.substr(0, colon));
      if (!mode) return fail("unknown hostile mode " + text.substr(0, colon) + " (see --help)");
      stavo::devserver::HostileRule rule;
      rule.mode = *mode;
      rule.path = colon == std::string::npos ? std::string() : text.substr(colon + 1);
      rule.times = 0;  // every matching request
      hostile_rules.push_back(rule);
    } else if (arg == "--quiet") {
      quiet = true;
    } else {
      return fail("unknown option " + arg + " (see --help)");
    }
  }
  if (!quiet) {
    options.access_logger = [](const std::string &line) {
      std::fprintf(stdout, "%s\n", line.c_str());
      std::fflush(stdout);
    };
  }

  // Signals are taken by sigwait below; every thread started from here on inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  stavo::devserver::Server server(options);
  for (const auto &rule : hostile_rules)
    server.hostile().add(rule);
  std::unique_ptr<stavo::devserver::Nghttpx> proxy;
  try {
    server.start();
    if (!tls_dir.empty() || !unix_socket.empty()) {
      stavo::devserver::NghttpxOptions proxy_options;
      proxy_options.binary = nghttpx_binary;
      proxy_options.backend_port = server.port();
      proxy_options.tls = !tls_dir.empty();
      proxy_options.tls_host = tls_host;
      proxy_options.tls_port = tls_port;
      proxy_options.unix_socket = unix_socket;
      if (proxy_options.tls) {
        proxy_options.cert_dir = stavo::devserver::ensure_dev_certs(tls_dir, cert_script).dir;
      }
      proxy = std::make_unique<stavo::devserver::Nghttpx>(proxy_options);
      proxy->start();
    }
  } catch (const std::exception &e) {
    return fail(e.what());
  }

  std::printf("stavo-devserver serving\n");
  std::printf("  http   %s\n", server.base_url().c_str());
  if (proxy && !tls_dir.empty()) {
    stavo::devserver::DevCerts certs{tls_dir};
    // The server certificate names localhost and 127.0.0.1.
    std::string tls_name = tls_host == "127.0.0.1" ? "localhost" : tls_host;
    std::printf("  https  https://%s:%d  (h2 and http/1.1, client certificate required)\n",
                tls_name.c_str(), proxy->tls_port());
    std::printf("         client bundle %s\n", certs.client_bundle().c_str());
    std::printf("         CA %s\n", certs.ca().c_str());
  }
  if (proxy && !unix_socket.empty()) {
    std::printf("  unix   %s  (http/1.1 and h2c)\n", unix_socket.c_str());
  }
  if (proxy) {
    // A refused TLS handshake (no client certificate, say) shows only there.
    std::printf("  nghttpx log %s\n", proxy->error_log_path().c_str());
  }
  for (const auto &rule : hostile_rules) {
    std::printf("  hostile: %s on %s\n", std::string(hostile_mode_name(rule.mode)).c_str(),
                rule.path.empty() ? "every /v1/ request" : rule.path.c_str());
  }
  if (options.passive) std::printf("  passive: every /v1/ request answers 503 node_passive\n");
  if (options.dev_controls)
    std::printf("  dev controls under %s/_dev/\n", server.base_url().c_str());
  std::printf("stop with Ctrl-C\n");
  std::fflush(stdout);

  int exit_code = 0;
  while (true) {
    timespec tick{0, 200 * 1000 * 1000};
    int sig = sigtimedwait(&signals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) break;
    if (proxy && !proxy->running()) {
      std::fprintf(stderr, "stavo-devserver: nghttpx exited unexpectedly (see %s)\n",
                   proxy->error_log_path().c_str());
      exit_code = 1;
      break;
    }
  }
  std::printf("stavo-devserver stopping\n");
  std::fflush(stdout);
  if (proxy) proxy->stop();
  server.stop();
  return exit_code;
}
