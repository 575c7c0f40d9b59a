// quarn help and quarn completion: both describe the command line itself.
#include <algorithm>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <qx/common/Console.hh>

#include "Commands.hh"

namespace qx::quarn_cli {

namespace {

// How many single-character edits (insert, delete, replace, swap of two
// neighbours) turn `a` into `b`.
std::size_t editDistance(const std::string &a, const std::string &b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

std::vector<const CLI::App *> commandsOf(const CLI::App &app) {
  return app.get_subcommands([](const CLI::App *) { return true; });
}

const CLI::App *commandNamed(const CLI::App &app, const std::string &name) {
  for (const CLI::App *command : commandsOf(app)) {
    if (command->get_name() == name) return command;
  }
  return nullptr;
}

// ---- help --------------------------------------------------------------

// The words that choose `command` after the program's name: "" for the
// program itself, "cache ls".
std::string commandWords(const CLI::App &command) {
  const CLI::App *parent = command.get_parent();
  if (parent == nullptr) return "";
  const std::string above = commandWords(*parent);
  return above.empty() ? command.get_name() : above + " " + command.get_name();
}

// "quarn", "quarn cache": how a command is called.
std::string calledAs(const CLI::App &command) {
  const std::string words = commandWords(command);
  return words.empty() ? "quarn" : "quarn " + words;
}

// The help of `app` ("help") or of the command the words name ("help cache
// ls"); an unknown word is a usage error with a suggestion.
int runHelp(const CLI::App &app, const std::vector<std::string> &words) {
  const CLI::App *command = &app;
  for (const std::string &word : words) {
    const bool aboutHelp = command == &app && (word == "--help" || word == "-h");
    const CLI::App *named = commandNamed(*command, aboutHelp ? "help" : word);
    if (named == nullptr) return unknownCommand(*command, word);
    command = named;
  }
  std::cout << app.get_formatter()->make_help(command, calledAs(*command),
                                              CLI::AppFormatMode::Normal);
  return kSuccess;
}

// ---- completion --------------------------------------------------------

struct CompletionOptions {
  std::string shell;
};

std::vector<const CLI::Option *> optionsOf(const CLI::App &app) {
  std::vector<const CLI::Option *> named;
  for (const CLI::Option *option : app.get_options()) {
    if (!option->get_positional()) named.push_back(option);
  }
  return named;
}

// Every name of an option: "-t", "--type".
std::vector<std::string> namesOf(const CLI::Option *option) {
  std::vector<std::string> names;
  for (const std::string &name : option->get_snames()) names.push_back("-" + name);
  for (const std::string &name : option->get_lnames()) names.push_back("--" + name);
  return names;
}

bool takesValue(const CLI::Option *option) { return option->get_items_expected_max() > 0; }

// `text` inside single quotes for a shell.
std::string quoted(const std::string &text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The items separated by blanks, each once.
std::string joinedWords(const std::vector<std::string> &items) {
  std::string text;
  std::set<std::string> seen;
  for (const std::string &item : items) {
    if (seen.insert(item).second) text += (text.empty() ? "" : " ") + item;
  }
  return text;
}

std::vector<std::string> optionWords(const CLI::App &app) {
  std::vector<std::string> all;
  for (const CLI::Option *option : optionsOf(app)) {
    for (const std::string &name : namesOf(option)) all.push_back(name);
  }
  return all;
}

// The main command's options that take a value ("-v 3"): their values are
// no command words.
std::vector<std::string> valueOptionWords(const CLI::App &app) {
  std::vector<std::string> all;
  for (const CLI::Option *option : optionsOf(app)) {
    if (!takesValue(option)) continue;
    for (const std::string &name : namesOf(option)) all.push_back(name);
  }
  return all;
}

std::vector<std::string> commandNames(const CLI::App &app) {
  std::vector<std::string> names;
  for (const CLI::App *command : commandsOf(app)) names.push_back(command->get_name());
  return names;
}

// The words a command's arguments may be, beyond its options: the commands
// below it, the commands for help, the shells for completion.
std::vector<std::string> argumentWords(const CLI::App &app, const CLI::App &command) {
  if (command.get_name() == "help") return commandNames(app);
  if (command.get_name() == "completion") return {"bash", "zsh", "fish"};
  return commandNames(command);
}

// Every command with the words that choose it: "list", "cache", "cache ls".
std::vector<std::pair<std::string, const CLI::App *>> everyCommand(const CLI::App &app) {
  std::vector<std::pair<std::string, const CLI::App *>> all;
  for (const CLI::App *command : commandsOf(app)) {
    all.emplace_back(command->get_name(), command);
    for (const CLI::App *below : commandsOf(*command))
      all.emplace_back(command->get_name() + " " + below->get_name(), below);
  }
  return all;
}

std::string bashScript(const CLI::App &app) {
  std::ostringstream out;
  std::vector<std::string> top = optionWords(app);
  for (const std::string &name : commandNames(app)) top.push_back(name);
  std::vector<std::string> parents;
  for (const CLI::App *command : commandsOf(app)) {
    if (!commandsOf(*command).empty()) parents.push_back(command->get_name());
  }
  std::string parentPattern;
  for (const std::string &name : parents) parentPattern += (parentPattern.empty() ? "" : "|") + name;
  std::string valuePattern;
  for (const std::string &name : valueOptionWords(app))
    valuePattern += (valuePattern.empty() ? "" : "|") + name;
  out << "# bash completion for quarn: source <(quarn completion bash)\n"
      << "_quarn() {\n"
      << "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" command=\"\" i skip=0\n"
      << "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      << "    if ((skip)); then skip=0; continue; fi\n"
      << "    case \"${COMP_WORDS[i]}\" in\n"
      << "      " << valuePattern << ") skip=1 ;;\n"
      << "      -*) ;;\n"
      << "      *)\n"
      << "        if [ -z \"$command\" ]; then command=\"${COMP_WORDS[i]}\"\n"
      << "        else\n"
      << "          case \"$command\" in " << parentPattern
      << ") command=\"$command ${COMP_WORDS[i]}\" ;; esac\n"
      << "          break\n"
      << "        fi ;;\n"
      << "    esac\n"
      << "  done\n"
      << "  case \"$command\" in\n";
  const std::vector<std::string> global = optionWords(app);
  for (const auto &[words, command] : everyCommand(app)) {
    std::vector<std::string> candidates = argumentWords(app, *command);
    const std::vector<std::string> options = optionWords(*command);
    candidates.insert(candidates.end(), options.begin(), options.end());
    candidates.insert(candidates.end(), global.begin(), global.end());
    out << "    " << quoted(words) << ") COMPREPLY=($(compgen -W " << quoted(joinedWords(candidates))
        << " -- \"$cur\")) ;;\n";
  }
  out << "    *) COMPREPLY=($(compgen -W " << quoted(joinedWords(top)) << " -- \"$cur\")) ;;\n"
      << "  esac\n"
      << "}\n"
      << "complete -o default -F _quarn quarn\n";
  return out.str();
}

// The _arguments word of one option name.
std::string zshOptionArgument(const std::string &name, const CLI::Option *option) {
  std::string description;
  for (const char c : option->get_description()) {
    if (c == '[' || c == ']' || c == ':' || c == '\\') description += '\\';
    description += c;
  }
  return quoted(name + "[" + description + "]" + (takesValue(option) ? ":value:_files" : ""));
}

void zshArguments(std::ostringstream &out, const CLI::App &app) {
  for (const CLI::Option *option : optionsOf(app)) {
    for (const std::string &name : namesOf(option)) out << " \\\n      " << zshOptionArgument(name, option);
  }
}

// A zsh array of the words with their descriptions ("ls:Every cached ...").
void zshDescribed(std::ostringstream &out, const std::string &array,
                  const std::vector<const CLI::App *> &commands) {
  out << "  local -a " << array << "\n  " << array << "=(\n";
  for (const CLI::App *command : commands) {
    std::string entry = command->get_name() + ":";
    for (const char c : command->get_description())
      entry += c == ':' ? std::string("\\:") : std::string(1, c);
    out << "    " << quoted(entry) << "\n";
  }
  out << "  )\n";
}

std::string zshScript(const CLI::App &app) {
  std::ostringstream out;
  std::string valuePattern;
  for (const std::string &name : valueOptionWords(app))
    valuePattern += (valuePattern.empty() ? "" : "|") + name;
  out << "#compdef quarn\n"
      << "# zsh completion for quarn: source <(quarn completion zsh)\n"
      << "_quarn() {\n";
  zshDescribed(out, "commands", commandsOf(app));
  out << "  local -i i=2\n"
      << "  # The command is the first word that is neither an option nor its value.\n"
      << "  while (( i < CURRENT )); do\n"
      << "    case $words[i] in\n"
      << "      " << valuePattern << ") (( i += 2 )) ;;\n"
      << "      -*) (( i++ )) ;;\n"
      << "      *) break ;;\n"
      << "    esac\n"
      << "  done\n"
      << "  if (( i >= CURRENT )); then\n"
      << "    _describe command commands\n"
      << "    return\n"
      << "  fi\n"
      << "  case $words[i] in\n";
  for (const CLI::App *command : commandsOf(app)) {
    out << "    " << command->get_name() << ")\n";
    const std::vector<const CLI::App *> below = commandsOf(*command);
    if (!below.empty()) {
      zshDescribed(out, "below", below);
      out << "      if (( i + 1 == CURRENT )); then\n"
          << "        _describe command below\n"
          << "        return\n"
          << "      fi\n"
          << "      case $words[i+1] in\n";
      for (const CLI::App *sub : below) {
        out << "        " << sub->get_name() << ")\n          _arguments";
        zshArguments(out, *sub);
        zshArguments(out, app);
        out << " \\\n      '*:argument:_files' ;;\n";
      }
      out << "      esac ;;\n";
      continue;
    }
    out << "      _arguments";
    zshArguments(out, *command);
    zshArguments(out, app);
    const std::vector<std::string> arguments = argumentWords(app, *command);
    out << " \\\n      "
        << quoted(arguments.empty() ? std::string("*:argument:_files")
                                    : "*:argument:(" + joinedWords(arguments) + ")")
        << " ;;\n";
  }
  out << "  esac\n"
      << "}\n"
      << "compdef _quarn quarn\n";
  return out.str();
}

void fishOptions(std::ostringstream &out, const CLI::App &app, const std::string &condition) {
  for (const CLI::Option *option : optionsOf(app)) {
    out << "complete -c quarn -n " << quoted(condition);
    for (const std::string &name : option->get_snames()) out << " -s " << name;
    for (const std::string &name : option->get_lnames()) out << " -l " << name;
    if (takesValue(option)) out << " -r";
    out << " -d " << quoted(option->get_description()) << "\n";
  }
}

std::string fishScript(const CLI::App &app) {
  std::ostringstream out;
  const std::string names = joinedWords(commandNames(app));
  out << "# fish completion for quarn: quarn completion fish | source\n";
  for (const CLI::App *command : commandsOf(app)) {
    out << "complete -c quarn -n " << quoted("not __fish_seen_subcommand_from " + names)
        << " -f -a " << command->get_name() << " -d " << quoted(command->get_description())
        << "\n";
  }
  fishOptions(out, app, "true");
  for (const CLI::App *command : commandsOf(app)) {
    const std::string seen = "__fish_seen_subcommand_from " + command->get_name();
    const std::vector<const CLI::App *> below = commandsOf(*command);
    const std::string belowNames = joinedWords(commandNames(*command));
    for (const CLI::App *sub : below) {
      out << "complete -c quarn -n "
          << quoted(seen + "; and not __fish_seen_subcommand_from " + belowNames) << " -f -a "
          << sub->get_name() << " -d " << quoted(sub->get_description()) << "\n";
      fishOptions(out, *sub, seen + "; and __fish_seen_subcommand_from " + sub->get_name());
    }
    if (below.empty()) {
      const std::vector<std::string> arguments = argumentWords(app, *command);
      if (!arguments.empty())
        out << "complete -c quarn -n " << quoted(seen) << " -f -a " << quoted(joinedWords(arguments))
            << "\n";
    }
    fishOptions(out, *command, seen);
  }
  return out.str();
}

int runCompletion(const CLI::App &app, const CompletionOptions &options) {
  if (options.shell == "bash")
    std::cout << bashScript(app);
  else if (options.shell == "zsh")
    std::cout << zshScript(app);
  else
    std::cout << fishScript(app);
  std::cout.flush();
  return kSuccess;
}

}  // namespace

std::string nearestCommand(const CLI::App &app, const std::string &word) {
  std::string nearest;
  std::size_t best = 3;  // more edits than this is no typing mistake
  for (const CLI::App *command : commandsOf(app)) {
    const std::size_t distance = editDistance(word, command->get_name());
    if (distance < best) {
      best = distance;
      nearest = command->get_name();
    }
  }
  return nearest;
}

int unknownCommand(const CLI::App &parent, const std::string &word) {
  const std::string nearest = nearestCommand(parent, word);
  const std::string above = commandWords(parent);
  const std::string prefix = above.empty() ? "" : above + " ";
  std::cerr << "quarn: unknown command '" << prefix << word << "'"
            << (nearest.empty() ? "" : "; did you mean '" + prefix + nearest + "'?")
            << "\nRun \"quarn help" << (above.empty() ? "" : " " + above)
            << "\" for the list of commands.\n";
  return kUsageError;
}

void addHelpCommand(CLI::App &app) {
  CLI::App *command =
      subcommand(app, "help", "Describe quarn, or one of its commands", "quarn help list");
  command->add_option("command", "The command to describe");
}

std::optional<int> answerHelp(const CLI::App &app, const std::vector<std::string> &args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const bool value = i > 0 && (args[i - 1] == "-v" || args[i - 1] == "--verbose" ||
                                 args[i - 1] == "--color");
    if (args[i].empty() || args[i].front() == '-' || value) continue;
    if (args[i] != "help") return std::nullopt;
    return runHelp(app, std::vector<std::string>(args.begin() + i + 1, args.end()));
  }
  return std::nullopt;
}

void addCompletionCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<CompletionOptions>();
  CLI::App *command = subcommand(app, "completion",
                                 "Print a shell completion script (bash, zsh or fish)",
                                 "quarn completion bash > ~/.local/share/bash-completion/completions/quarn");
  command->add_option("shell", options->shell, "bash, zsh or fish")
      ->required()
      ->check(CLI::IsMember({"bash", "zsh", "fish"}));
  const CLI::App *described = &app;
  onChosen(command, options, action,
           [described](const CompletionOptions &chosen, const ToolOptions &) {
             return runCompletion(*described, chosen);
           });
}

}  // namespace qx::quarn_cli
