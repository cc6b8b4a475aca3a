// Option values, the config file and the global connection options.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

#include <brindle_values.h>

#include "cli.h"

namespace stavoctl {

namespace {

std::string trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

bool parse_flag(const std::string &text, bool &out) {
  if (text == "true" || text == "yes" || text == "on" || text == "1") {
    out = true;
    return true;
  }
  if (text == "false" || text == "no" || text == "off" || text == "0") {
    out = false;
    return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> Args::get(std::string_view name) const {
  auto found = options.find(name);
  if (found == options.end() || found->second.empty()) return std::nullopt;
  return found->second.back();
}

const char *Args::c_str(std::string_view name) const {
  auto found = options.find(name);
  if (found == options.end() || found->second.empty()) return nullptr;
  return found->second.back().c_str();
}

std::vector<std::string> Args::all(std::string_view name) const {
  auto found = options.find(name);
  return found == options.end() ? std::vector<std::string>{} : found->second;
}

int64_t Args::i64(std::string_view name, int64_t fallback) const {
  auto value = get(name);
  if (!value) return fallback;
  int64_t out = 0;
  if (!sv_i64_parse_base10(value->c_str(), &out)) {
    throw UsageError("--" + std::string(name) + " expects an integer, not '" + *value + "'");
  }
  return out;
}

int32_t Args::i32(std::string_view name, int32_t fallback) const {
  auto value = get(name);
  if (!value) return fallback;
  int32_t out = 0;
  if (!sv_parse_int_base10_checked(value->c_str(), &out)) {
    throw UsageError("--" + std::string(name) + " expects a 32-bit integer, not '" + *value + "'");
  }
  return out;
}

int64_t Args::seconds(std::string_view name, int64_t fallback) const {
  auto value = get(name);
  if (!value) return fallback;
  std::string digits = *value;
  int64_t scale = 1;
  bool millis = false;
  if (digits.size() > 2 && digits.ends_with("ms")) {
    millis = true;
    digits.resize(digits.size() - 2);
  } else if (!digits.empty() &&
             (digits.back() == 's' || digits.back() == 'm' || digits.back() == 'h')) {
    scale = digits.back() == 's' ? 1 : digits.back() == 'm' ? 60 : 3600;
    digits.pop_back();
  }
  int64_t amount = 0;
  if (!sv_i64_parse_base10(digits.c_str(), &amount) || amount < 0 || amount > INT64_MAX / 3600) {
    throw UsageError("--" + std::string(name) + " expects a duration such as 30, 30s, 5m or " +
                     "1500ms, not '" + *value + "'");
  }
  if (millis) return (amount + 999) / 1000;
  return amount * scale;
}

void require(const Args &args, std::string_view name) {
  auto value = args.get(name);
  if (!value || value->empty()) throw UsageError("--" + std::string(name) + " is required");
}

void require_json(const char *text, std::string_view what) {
  if (text == nullptr) return;
  brindle_error error;
  brindle_error_init(&error);
  if (brindle_validate_cstr(text, &error) != BRINDLE_OK) {
    throw UsageError(std::string(what) + " is not valid JSON: " + error.message);
  }
}

const std::vector<OptionSpec> &global_option_specs() {
  static const std::vector<OptionSpec> table = {
      {"endpoint", "URL", "server base URL; repeat for failover (tried in order)"},
      {"bundle", "PATH", "PEM client bundle: certificate, key and CA certificates"},
      {"cert", "PATH", "PEM client certificate (with --key, instead of --bundle)"},
      {"key", "PATH", "PEM private key of --cert"},
      {"ca", "PATH", "PEM CA certificates that verify the server"},
      {"ca-only", "", "trust only the CAs of --bundle, --cert and --ca, not the system's"},
      {"namespace", "NAME", "namespace of every request (default: \"default\")"},
      {"timeout", "DURATION", "whole-request timeout (default 30s; 1500ms, 2m, ...)"},
      {"insecure", "",
       "no verification of the server (and no client certificate unless one is given); allows "
       "http://"},
      {"unix-socket", "PATH", "connect through this Unix domain socket"},
      {"log-level", "LEVEL", "client log on stderr: trace|debug|info|warn|error|off (default)"},
      {"config", "PATH",
       "read these options from a \"name = value\" file (default: "
       "~/.config/stavo/stavoctl.conf when it exists)"},
      {"help", "", "show help for the command and exit"},
      {"version", "", "show the versions of stavoctl and its libraries and exit"},
  };
  return table;
}

void read_config_file(const std::string &path, Args &into) {
  std::ifstream file(path);
  if (!file) {
    throw UsageError("cannot read config file '" + path + "': " + std::strerror(errno));
  }
  std::string line;
  int number = 0;
  while (std::getline(file, line)) {
    ++number;
    std::string text = trim(line);
    if (text.empty() || text[0] == '#') continue;
    auto where = [&] { return path + ":" + std::to_string(number) + ": "; };
    size_t equals = text.find('=');
    if (equals == std::string::npos) throw UsageError(where() + "expected \"name = value\"");
    std::string name = trim(std::string_view(text).substr(0, equals));
    std::string value = trim(std::string_view(text).substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    const OptionSpec *option = nullptr;
    for (const OptionSpec &candidate : global_option_specs()) {
      if (candidate.name == name) option = &candidate;
    }
    if (option == nullptr || name == "config" || name == "help" || name == "version") {
      throw UsageError(where() + "unknown setting '" + name + "'");
    }
    if (option->value_name.empty()) {
      bool flag = false;
      if (!parse_flag(value, flag)) throw UsageError(where() + name + " expects true or false");
      if (flag) {
        into.options[name].push_back("");
      } else {
        into.options.erase(name);
      }
      continue;
    }
    into.options[name].push_back(value);
  }
}

namespace {

// $XDG_CONFIG_HOME/stavo/stavoctl.conf, else ~/.config/stavo/stavoctl.conf; empty when neither
// variable is set.
std::string default_config_path() {
  if (const char *xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
    return std::string(xdg) + "/stavo/stavoctl.conf";
  }
  if (const char *home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::string(home) + "/.config/stavo/stavoctl.conf";
  }
  return {};
}

// STAVO_ENDPOINT (comma-separated, in failover order), STAVO_BUNDLE and STAVO_NAMESPACE replace
// what a config file said.
void apply_environment(Args &into) {
  if (const char *endpoints = std::getenv("STAVO_ENDPOINT"); endpoints != nullptr) {
    std::vector<std::string> list;
    std::string_view rest = endpoints;
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      std::string item = trim(rest.substr(0, comma));
      if (!item.empty()) list.push_back(std::move(item));
      rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    }
    if (!list.empty()) into.options["endpoint"] = std::move(list);
  }
  const std::pair<const char *, const char *> singles[] = {{"STAVO_BUNDLE", "bundle"},
                                                           {"STAVO_NAMESPACE", "namespace"}};
  for (const auto &[variable, option] : singles) {
    const char *value = std::getenv(variable);
    if (value != nullptr && *value != '\0') into.options[option] = {value};
  }
}

}  // namespace

GlobalOptions resolve_global_options(const Args &command_line) {
  // Command line over environment over the config file.
  Args merged;
  if (auto config = command_line.get("config")) {
    read_config_file(*config, merged);
  } else if (std::string fallback = default_config_path();
             !fallback.empty() && access(fallback.c_str(), F_OK) == 0) {
    read_config_file(fallback, merged);
  }
  apply_environment(merged);
  for (const OptionSpec &option : global_option_specs()) {
    auto found = command_line.options.find(option.name);
    if (found != command_line.options.end())
      merged.options[std::string(option.name)] = found->second;
  }
  GlobalOptions global;
  global.endpoints = merged.all("endpoint");
  global.bundle = merged.get("bundle").value_or("");
  global.cert = merged.get("cert").value_or("");
  global.key = merged.get("key").value_or("");
  global.ca = merged.get("ca").value_or("");
  global.trust_given_cas_only = merged.has("ca-only");
  if (global.cert.empty() != global.key.empty()) {
    throw UsageError("--cert and --key go together");
  }
  global.namespace_name = merged.get("namespace").value_or("");
  global.unix_socket = merged.get("unix-socket").value_or("");
  global.insecure = merged.has("insecure");
  global.log_level = merged.get("log-level").value_or("off");
  if (merged.has("timeout")) {
    global.timeout_given = true;
    auto value = merged.get("timeout").value_or("");
    int64_t millis = 0;
    if (value.size() > 2 && value.ends_with("ms") &&
        sv_i64_parse_base10(value.substr(0, value.size() - 2).c_str(), &millis) && millis > 0) {
      global.timeout_ms = millis;
    } else {
      int64_t seconds = merged.seconds("timeout", 30);
      if (seconds < 1) throw UsageError("--timeout must be above 0");
      global.timeout_ms = seconds * 1000;
    }
  }
  static const char *const levels[] = {"trace", "debug", "info", "warn", "error", "off"};
  bool known = false;
  for (const char *level : levels)
    known = known || global.log_level == level;
  if (!known) throw UsageError("--log-level expects trace, debug, info, warn, error or off");

  const bool identity = !global.bundle.empty() || !global.cert.empty();
  if (global.endpoints.empty()) {
    if (!identity) {
      throw UsageError(
          "no endpoint: give --endpoint URL (the default https://localhost:7443 "
          "needs --bundle)");
    }
    global.endpoints.push_back("https://localhost:7443");
  }
  for (const std::string &endpoint : global.endpoints) {
    if (endpoint.starts_with("http://")) {
      if (!global.insecure) {
        throw UsageError("plain http endpoint '" + endpoint + "' needs --insecure");
      }
    } else if (!endpoint.starts_with("https://")) {
      throw UsageError("endpoint '" + endpoint + "' must start with https:// or http://");
    }
  }
  if (!identity && !global.insecure) {
    throw UsageError(
        "a client bundle is required: give --bundle PATH, or --cert PATH and --key PATH (or "
        "--insecure)");
  }
  return global;
}

}  // namespace stavoctl
