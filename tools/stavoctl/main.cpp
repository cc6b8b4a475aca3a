// stavoctl: the command line of a stavo server. Parses the command line against the command
// table, merges the config file, runs the command and turns failures into exit statuses.
#include <csignal>
#include <cstdio>
#include <cstring>

#include <brindle_core.h>

#include "cli.h"

namespace stavoctl {

std::vector<Command> all_commands() {
  std::vector<Command> commands;
  for (auto group : {lease_commands(), attach_commands(), queue_commands(), admin_commands()}) {
    for (Command &command : group)
      commands.push_back(std::move(command));
  }
  commands.push_back(completion_command());
  return commands;
}

namespace {

std::string option_lines(const std::vector<OptionSpec> &table) {
  std::string out;
  for (const OptionSpec &option : table) {
    std::string left = "  --" + std::string(option.name);
    if (!option.value_name.empty()) left += " " + std::string(option.value_name);
    if (left.size() < 28)
      left.resize(28, ' ');
    else
      left += "  ";
    out += left + std::string(option.help) + "\n";
  }
  return out;
}

std::string top_help(const std::vector<Command> &commands) {
  std::string out =
      "usage: stavoctl [GLOBAL OPTIONS] COMMAND [SUBCOMMAND] [ARGS] [OPTIONS]\n\n"
      "Operate a stavo server: leases, state, attachments, queues, queries, namespaces,\n"
      "transactions and the transaction coordinator. Results are JSON on stdout, payloads and\n"
      "documents raw; errors go to stderr. Exit status: 0 ok, 1 usage, 2 not found or empty,\n"
      "3 conflict, 4 unavailable, 5 server or protocol error, 6 local I/O.\n\nCommands:\n";
  std::string_view last;
  for (const Command &command : commands) {
    if (command.family == last) continue;
    last = command.family;
    std::string names;
    for (const Command &other : commands) {
      if (other.family != command.family || other.name.empty()) continue;
      names += (names.empty() ? "" : "|") + std::string(other.name);
    }
    std::string left = "  " + std::string(command.family);
    if (left.size() < 10) left.resize(10, ' ');
    out += left + (names.empty() ? std::string(command.summary) : names) + "\n";
  }
  out += "\nGlobal options (also read from --config FILE as \"name = value\"):\n";
  out += option_lines(global_option_specs());
  out += "\nRun 'stavoctl COMMAND --help' for the options of a command.\n";
  return out;
}

std::string family_help(const std::vector<Command> &commands, std::string_view family) {
  std::string out = "usage: stavoctl " + std::string(family) + " SUBCOMMAND [ARGS] [OPTIONS]\n\n";
  for (const Command &command : commands) {
    if (command.family != family) continue;
    std::string left = "  " + std::string(command.name) + "  ";
    if (left.size() < 20) left.resize(20, ' ');
    out += left + std::string(command.summary) + "\n";
  }
  out += "\nRun 'stavoctl " + std::string(family) + " SUBCOMMAND --help' for its options.\n";
  return out;
}

std::string command_help(const Command &command) {
  std::string name = std::string(command.family);
  if (!command.name.empty()) name += " " + std::string(command.name);
  std::string out = "usage: stavoctl " + name;
  if (!command.usage.empty()) out += " " + std::string(command.usage);
  out += " [OPTIONS]\n\n" + std::string(command.summary) + "\n";
  if (!command.details.empty()) out += "\n" + std::string(command.details) + "\n";
  if (!command.options.empty()) out += "\nOptions:\n" + option_lines(command.options);
  out += "\nGlobal options: see 'stavoctl --help'.\n";
  return out;
}

const OptionSpec *find_spec(std::string_view name, const std::vector<OptionSpec> &table) {
  for (const OptionSpec &option : table) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

int run(int argc, char **argv) {
  std::vector<Command> commands = all_commands();
  Args args;
  std::vector<std::string> words;  // family [subcommand] and then positionals
  const Command *command = nullptr;
  std::string family;  // a copy: words grows
  bool options_done = false;

  auto resolve = [&]() {
    if (command != nullptr || words.empty()) return;
    if (family.empty()) {
      family = words[0];
      bool known = false;
      for (const Command &candidate : commands)
        known = known || candidate.family == family;
      if (!known) throw UsageError("unknown command '" + words[0] + "'");
    }
    for (const Command &candidate : commands) {
      if (candidate.family != family) continue;
      if (candidate.name.empty()) {
        command = &candidate;
        words.erase(words.begin());
        return;
      }
      if (words.size() >= 2 && candidate.name == words[1]) {
        command = &candidate;
        words.erase(words.begin(), words.begin() + 2);
        return;
      }
    }
    if (words.size() >= 2) {
      throw UsageError("unknown subcommand '" + words[1] + "' of '" + words[0] + "'");
    }
  };

  for (int index = 1; index < argc; ++index) {
    std::string token = argv[index];
    if (options_done || token == "-" || !token.starts_with("-")) {
      words.push_back(token);
      resolve();
      continue;
    }
    if (token == "--") {
      options_done = true;
      continue;
    }
    if (token == "-h") token = "--help";
    if (!token.starts_with("--")) throw UsageError("unknown option '" + token + "'");
    std::string name = token.substr(2);
    std::optional<std::string> inline_value;
    if (size_t equals = name.find('='); equals != std::string::npos) {
      inline_value = name.substr(equals + 1);
      name.resize(equals);
    }
    const OptionSpec *option = find_spec(name, global_option_specs());
    if (option == nullptr && command != nullptr) option = find_spec(name, command->options);
    if (option == nullptr) {
      throw UsageError("unknown option '--" + name + "'" +
                       (command == nullptr ? " (command options go after the command)" : ""));
    }
    if (option->value_name.empty()) {
      if (inline_value) throw UsageError("--" + name + " takes no value");
      args.options[name].push_back("");
      continue;
    }
    if (!inline_value) {
      if (index + 1 >= argc) throw UsageError("--" + name + " needs a value");
      inline_value = argv[++index];
    }
    args.options[name].push_back(*inline_value);
  }

  if (args.has("version")) {
    // libstavoc's is the loaded library's, which may be newer than the one built against.
    std::printf("stavoctl %s (libstavoc %s, libbrindle %s)\n", SV_VERSION_STRING,
                sv_version_string(), BRINDLE_VERSION_STRING);
    return kExitOk;
  }
  if (args.has("help")) {
    if (command != nullptr) {
      std::fputs(command_help(*command).c_str(), stdout);
    } else if (!family.empty()) {
      std::fputs(family_help(commands, family).c_str(), stdout);
    } else {
      std::fputs(top_help(commands).c_str(), stdout);
    }
    return kExitOk;
  }
  if (command == nullptr) {
    if (family.empty()) {
      std::fputs(top_help(commands).c_str(), stderr);
      return kExitUsage;
    }
    std::fputs(family_help(commands, family).c_str(), stderr);
    throw UsageError("'" + std::string(family) + "' needs a subcommand");
  }
  if (words.size() < command->min_positionals || words.size() > command->max_positionals) {
    throw UsageError("usage: stavoctl " + std::string(command->family) +
                     (command->name.empty() ? "" : " " + std::string(command->name)) + " " +
                     std::string(command->usage));
  }
  args.positionals = std::move(words);

  Context ctx;
  ctx.command_name = std::string(command->family);
  if (!command->name.empty()) ctx.command_name += " " + std::string(command->name);
  // Printing the completion script needs no connection settings.
  if (command->family != "completion") ctx.global = resolve_global_options(args);
  return command->run(ctx, args);
}

}  // namespace
}  // namespace stavoctl

int main(int argc, char **argv) {
  // A closed stdout (stavoctl ... | head) is a write error to report, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return stavoctl::run(argc, argv);
  } catch (const stavoctl::UsageError &error) {
    std::fprintf(stderr, "stavoctl: %s\nRun 'stavoctl --help' for usage.\n", error.what());
    return stavoctl::kExitUsage;
  } catch (const stavoctl::Failure &failure) {
    return failure.exit_code;
  } catch (const std::bad_alloc &) {
    std::fputs("stavoctl: out of memory\n", stderr);
    return stavoctl::kExitLocal;
  }
}
