// quarn-server: serves a repository directory (or a server directory of the
// client's cache) to every machine that can reach it, until SIGINT or SIGTERM.
#include <cstdlib>
#include <iostream>
#include <string>

#include <qx/common/Console.hh>

#include "qx/quarn_server/RepositoryServer.hh"

namespace {

const char kUsage[] =
    "Usage: quarn-server [--root] DIR [--host HOST] [--port N] [--page-size N]\n"
    "                        [--api-key KEY] [--api-version V]\n"
    "                        [--cert FILE --key FILE] [--prebuild]\n"
    "                        [--archive-store DIR] [--verbose]\n"
    "Serves DIR (OWNER/models/NAME/VERSION/..., OWNER/worlds/NAME/VERSION/...,\n"
    "OWNER/collections/NAME.json, licenses.json) on HOST (127.0.0.1) and port N\n"
    "(0, the default, picks a free one), prints the server's URL and runs until\n"
    "interrupted. Download archives are built once into the archive store (by\n"
    "default one per DIR below $XDG_CACHE_HOME or ~/.cache, quarn/archives);\n"
    "--prebuild builds every missing one before serving.\n";

// A whole decimal number within [low, high].
bool readNumber(const std::string &text, long low, long high, long &value) {
  char *end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && value >= low && value <= high;
}

// Fills `root` and `options` from the arguments; false with a message on
// standard error when they do not parse.
bool parseArguments(int argc, char **argv, std::string &root,
                    qx::quarn_server::RepositoryServer::Options &options, bool &verbose) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    long number = 0;
    if (arg == "--verbose") {
      verbose = true;
    } else if (arg == "--prebuild") {
      options.prebuild = true;
    } else if (arg.rfind("--", 0) == 0 && !hasValue) {
      std::cerr << "Missing value after " << arg << "\n";
      return false;
    } else if (arg == "--host") {
      options.host = argv[++i];
    } else if (arg == "--port" || arg == "--page-size") {
      const bool port = arg == "--port";
      if (!readNumber(argv[++i], port ? 0 : 1, port ? 65535 : 1000000, number)) {
        std::cerr << "Invalid " << arg << " [" << argv[i] << "]\n";
        return false;
      }
      if (port)
        options.port = static_cast<int>(number);
      else
        options.pageSize = static_cast<std::size_t>(number);
    } else if (arg == "--api-key") {
      options.apiKey = argv[++i];
    } else if (arg == "--api-version") {
      options.apiVersion = argv[++i];
    } else if (arg == "--cert") {
      options.certFile = argv[++i];
    } else if (arg == "--key") {
      options.keyFile = argv[++i];
    } else if (arg == "--archive-store") {
      options.archiveStore = argv[++i];
    } else if ((arg == "--root" || arg.rfind("--", 0) != 0) && root.empty()) {
      root = arg == "--root" ? argv[++i] : arg;
    } else {
      std::cerr << "Unexpected argument [" << arg << "]\n";
      return false;
    }
  }
  if (root.empty()) std::cerr << "Missing the repository directory\n";
  return !root.empty();
}

}  // namespace

int main(int argc, char **argv) {
  std::string root;
  qx::quarn_server::RepositoryServer::Options options;
  bool verbose = false;
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  if (!parseArguments(argc, argv, root, options, verbose)) {
    std::cerr << kUsage;
    return 2;
  }
  qx::common::Console::SetVerbosity(verbose ? 3 : 2);
  options.logRequests = verbose;
  if (options.archiveStore.empty())
    options.archiveStore = qx::quarn_server::persistentArchiveStore(root);

  qx::quarn_server::RepositoryServer server(root, options);
  return server.ServeUntilSignalled(std::cout) ? 0 : 1;
}
