// quarn serve: a repository directory served until interrupted. The keys
// may come from files or the environment as well as from the command line,
// where every user of the machine could read them in ps.
#include <sys/resource.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/quarn_server/RepositoryServer.hh>

#include "Commands.hh"

namespace qx::quarn_cli {

namespace {

// Verbosity from which the server writes one line per request.
constexpr int kRequestLogVerbosity = 3;

// The environment variables that give keys: both, the read key, the write
// key.
constexpr const char *kKeyVariable = "QX_QUARN_SERVE_KEY";
constexpr const char *kReadKeyVariable = "QX_QUARN_SERVE_READ_KEY";
constexpr const char *kWriteKeyVariable = "QX_QUARN_SERVE_WRITE_KEY";

// One key as the command line may give it: the key itself, or a file
// whose first line it is.
struct KeyArguments {
  std::string key;
  std::string file;
};

struct ServeOptions {
  std::string root;
  KeyArguments apiKey;
  KeyArguments readKey;
  KeyArguments writeKey;
  qx::quarn_server::RepositoryServer::Options server;
};

// Why `key` (from `source`) cannot be a key, or nullopt: empty, blanks at
// either end (a header value loses them), or control characters (no
// header value holds them).
std::optional<std::string> unfitKey(const std::string &key, const std::string &source) {
  if (key.empty()) return "the key of " + source + " is empty";
  const auto blank = [](unsigned char c) { return c == ' ' || c == '\t'; };
  if (blank(key.front()) || blank(key.back()))
    return "the key of " + source + " begins or ends with a blank";
  for (unsigned char c : key) {
    if (c < 0x20 || c == 0x7f) return "the key of " + source + " holds a control character";
  }
  return std::nullopt;
}

// The key that an option, or the file of its -file form, gives (one of
// the two was given); nullopt, with the reason in `error`, when it is no
// key.
std::optional<std::string> givenKey(const KeyArguments &arguments, bool fromFile,
                                    const std::string &option, std::string &error) {
  std::string key = arguments.key;
  std::string source = option;
  if (fromFile) {
    source = option + "-file " + arguments.file;
    std::ifstream in(arguments.file, std::ios::binary);
    if (!in) {
      error = "unable to read " + arguments.file + " (" + option + "-file)";
      return std::nullopt;
    }
    std::getline(in, key);  // the first line; an empty file gives no key
    if (!key.empty() && key.back() == '\r') key.pop_back();
  }
  if (std::optional<std::string> why = unfitKey(key, source)) {
    error = *why;
    return std::nullopt;
  }
  return key;
}

std::optional<std::string> keyFromEnvironment(const char *variable, std::string &error) {
  const char *value = std::getenv(variable);
  if (value == nullptr) return std::nullopt;
  if (std::optional<std::string> why = unfitKey(value, variable)) {
    error = *why;
    return std::nullopt;
  }
  return std::string(value);
}

// The read and write keys, each from the first that gives it of: its own
// option (or file), --api-key (or its file), its own variable,
// QX_QUARN_SERVE_KEY. False, with the reason on standard error, when one
// given is no key.
bool resolveKeys(const ServeOptions &options, const CLI::App &command, std::string &readKey,
                 std::string &writeKey) {
  std::string error;
  const auto fromArguments = [&](const KeyArguments &arguments,
                                 const std::string &option) -> std::optional<std::string> {
    const bool fromFile = command.count(option + "-file") > 0;
    if (!fromFile && command.count(option) == 0) return std::nullopt;
    return givenKey(arguments, fromFile, option, error);
  };
  const std::optional<std::string> both = fromArguments(options.apiKey, "--api-key");
  const std::optional<std::string> read = fromArguments(options.readKey, "--read-key");
  const std::optional<std::string> write = fromArguments(options.writeKey, "--write-key");
  const std::optional<std::string> bothVariable = keyFromEnvironment(kKeyVariable, error);
  const std::optional<std::string> readVariable = keyFromEnvironment(kReadKeyVariable, error);
  const std::optional<std::string> writeVariable = keyFromEnvironment(kWriteKeyVariable, error);
  if (!error.empty()) {
    std::cerr << "quarn serve: " << error << "\n";
    return false;
  }
  readKey = read ? *read : both ? *both : readVariable ? *readVariable : bothVariable.value_or("");
  writeKey = write ? *write : both ? *both : writeVariable ? *writeVariable : bothVariable.value_or("");
  return true;
}

// Lets the server hold as many connections (and the files they are sent)
// as the system allows the process.
void raiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int runServe(ServeOptions options, const CLI::App &command) {
  qx::quarn_server::RepositoryServer::Options server = options.server;
  if (!resolveKeys(options, command, server.readKey, server.writeKey)) return kUsageError;
  server.logRequests = qx::common::Console::Verbosity() >= kRequestLogVerbosity;
  if (server.archiveStore.empty())
    server.archiveStore = qx::quarn_server::persistentArchiveStore(options.root);
  status(server.writeKey.empty() ? "Takes no writes: no write key was given"
                                 : "Takes uploads, edits and deletions with the write key");
  status(server.readKey.empty()
             ? "Serves no private model: no read key was given"
             : "Details, downloads and private models need the read key");
  raiseFileLimit();
  qx::quarn_server::RepositoryServer repository(options.root, server);
  return statusOf(repository.ServeUntilSignalled(std::cout));
}

void addKeyOptions(CLI::App *command, KeyArguments &key, const std::string &name,
                   const std::string &what, const std::string &variable) {
  CLI::Option *given = command->add_option(
      "--" + name, key.key,
      "The " + what + " (every user sees it in ps: prefer --" + name + "-file or " + variable + ")");
  CLI::Option *file = command->add_option("--" + name + "-file", key.file,
                                          "A file whose first line is the " + what)
                          ->check(CLI::ExistingFile);
  given->excludes(file);
}

}  // namespace

void addServeCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<ServeOptions>();
  options->server.port = 8085;
  CLI::App *command = subcommand(
      app, "serve",
      "Serve a repository directory (e.g. an offline mirror of a lab's models) until "
      "interrupted, printing its URL first; it takes writes only with a write key",
      "quarn serve ./examples/repository --port 0 --write-key-file ~/.quarn-write-key");
  command->add_option("dir", options->root,
                      "Directory laid out as OWNER/models/NAME/VERSION/..., "
                      "OWNER/worlds/..., OWNER/collections/NAME.json, licenses.json")
      ->required()
      ->check(CLI::ExistingDirectory);
  command->add_option("--host", options->server.host,
                      "Address to listen on; other machines need 0.0.0.0")
      ->capture_default_str();
  command->add_option("--port", options->server.port, "Port; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  addKeyOptions(command, options->apiKey, "api-key", "read key and write key at once",
                kKeyVariable);
  addKeyOptions(command, options->readKey, "read-key",
                "key for details, downloads and private models", kReadKeyVariable);
  addKeyOptions(command, options->writeKey, "write-key",
                "key for uploads, edits and deletions (without one the server takes none)",
                kWriteKeyVariable);
  command->add_option("--server-name", options->server.serverNames,
                      "A name clients reach the server by (a TLS front's), for the Host check "
                      "of writes; again for more");
  command->add_option("--cert", options->server.certFile, "Certificate (PEM) to serve HTTPS with")
      ->check(CLI::ExistingFile);
  command->add_option("--key", options->server.keyFile, "Its private key (PEM)")
      ->check(CLI::ExistingFile);
  command->add_option("--api-version", options->server.apiVersion,
                      "The API version segment of every route")
      ->capture_default_str();
  command->add_option("--page-size", options->server.pageSize, "Entries per listing page")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  command->add_option("--max-upload", options->server.maxUpload, "Largest upload in bytes")
      ->check(CLI::Range(std::uint64_t(1), std::uint64_t(1) << 50))
      ->capture_default_str();
  command->add_option("--max-connections", options->server.maxConnections,
                      "Open connections at most")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  command->add_option("--max-connections-per-address", options->server.maxConnectionsPerAddress,
                      "Open connections per client address at most (0: no cap; a proxy in "
                      "front is one address)")
      ->check(CLI::Range(0, 1000000))
      ->capture_default_str();
  command->add_flag("--prebuild", options->server.prebuild,
                    "Build every missing download archive before serving");
  command->add_option("--archive-store", options->server.archiveStore,
                      "Directory for built archives, outside DIR (default: one per DIR below "
                      "$XDG_CACHE_HOME or ~/.cache, quarn/archives)");
  command->callback([options, &action, command] {
    action = [options, command](const ToolOptions &) { return runServe(*options, *command); };
  });
}

}  // namespace qx::quarn_cli
