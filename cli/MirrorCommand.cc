// quarn mirror export: a repository directory as static files with an nginx
// configuration that serves them. quarn mirror proxy-config nginx: the
// nginx configuration of a caching mirror of a remote repository server.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <qx/quarn_server/MirrorExport.hh>
#include <qx/quarn_server/ProxyConfig.hh>
#include <qx/quarn_tools/ByteSizes.hh>
#include <string>
#include <system_error>

#include "Commands.hh"
#include "TerminalOutput.hh"

namespace qx::quarn_cli {

namespace {

struct MirrorOptions {
  std::string root;
  std::string out;
  qx::quarn_server::MirrorOptions mirror;
};

int runMirrorExport(const MirrorOptions &options, const ToolOptions &) {
  qx::quarn_server::MirrorSummary done;
  if (!qx::quarn_server::exportMirror(options.root, options.out, options.mirror, &done)) return 1;
  std::cerr << done.versionsWritten << " versions written, " << done.versionsKept << " kept, "
            << done.documentsWritten << " documents written, " << done.removed << " removed\n";
  std::cout << shownPath(options.out) << "\n";
  return 0;
}

struct ProxyConfigOptions {
  std::string engine;
  std::string maxSize = "10GiB";
  std::string output;
  qx::quarn_server::ProxyOptions proxy;
};

// Writes `text` to `path` through a file beside it renamed into place.
bool writeFileAtomically(const std::string &path, const std::string &text) {
  const std::string aside = path + ".new-" + std::to_string(::getpid());
  std::ofstream out(aside, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  std::error_code ec;
  if (out) std::filesystem::rename(aside, path, ec);
  if (!out || ec) {
    std::filesystem::remove(aside, ec);
    return false;
  }
  return true;
}

int runProxyConfig(const ProxyConfigOptions &options, const ToolOptions &) {
  qx::quarn_server::ProxyOptions proxy = options.proxy;
  if (!qx::quarn_tools::parseByteSize(options.maxSize, proxy.maxSize) || proxy.maxSize == 0) {
    std::cerr << "Error: --max-size [" << options.maxSize
              << "] is no size (such as 500MiB or 20GiB)\n";
    return 2;
  }
  std::error_code ec;
  proxy.directory = std::filesystem::absolute(proxy.directory, ec).lexically_normal().string();
  while (proxy.directory.size() > 1 && proxy.directory.back() == '/') proxy.directory.pop_back();
  std::string error;
  const std::optional<std::string> config = qx::quarn_server::nginxProxyConfig(proxy, error);
  if (!config) {
    std::cerr << "Error: " << error << "\n";
    return 2;
  }
  // nginx makes what lies inside the directory, not the directory itself.
  std::filesystem::create_directories(proxy.directory, ec);
  if (ec) {
    std::cerr << "Error: unable to make [" << proxy.directory << "]: " << ec.message() << "\n";
    return 1;
  }
  if (options.output.empty()) {
    std::cout << *config;
    return std::cout.flush() ? 0 : 1;
  }
  if (!writeFileAtomically(options.output, *config)) {
    std::cerr << "Error: unable to write [" << options.output << "]\n";
    return 1;
  }
  std::cout << shownPath(options.output) << "\n";
  return 0;
}

}  // namespace

void addMirrorCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<MirrorOptions>();
  CLI::App *mirror = app.add_subcommand("mirror", "Mirrors of a repository, served by nginx");
  mirror->require_subcommand(1);
  CLI::App *command = subcommand(
      *mirror, "export",
      "Write everything a repository directory serves as files, with an nginx configuration "
      "(OUT/nginx.conf) that serves them; again, to bring the mirror up to date",
      "quarn mirror export ./examples/repository ./mirror --listen 0.0.0.0:8080");
  command->add_option("dir", options->root, "Repository directory, as for quarn serve")
      ->required()
      ->check(CLI::ExistingDirectory);
  command->add_option("out", options->out, "Export directory (empty, or an earlier export)")
      ->required();
  command->add_option("--listen", options->mirror.listen, "Address and port of nginx.conf")
      ->capture_default_str();
  command->add_option("--page-size", options->mirror.pageSize, "Entries per listing page")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  command
      ->add_option("--tls-cert", options->mirror.tlsCertificate,
                   "Certificate (PEM, with its chain): nginx.conf serves HTTPS, offering HTTP/2")
      ->check(CLI::ExistingFile);
  command->add_option("--tls-key", options->mirror.tlsKey, "The certificate's key (PEM)")
      ->check(CLI::ExistingFile);
  onChosen(command, options, action, runMirrorExport);

  auto proxy = std::make_shared<ProxyConfigOptions>();
  CLI::App *config = subcommand(
      *mirror, "proxy-config",
      "Write the configuration of a caching mirror of a remote repository server: nginx keeps "
      "numbered versions for good, asks the server again for what changes, and passes "
      "requests with a key through",
      "quarn mirror proxy-config nginx --upstream https://models.example.org --listen "
      "0.0.0.0:8080 --cache-dir /var/cache/quarn-mirror -o /etc/quarn-mirror.conf");
  config->add_option("engine", proxy->engine, "The caching server: nginx")
      ->required()
      ->check(CLI::IsMember({"nginx"}));
  config->add_option("--upstream", proxy->proxy.upstream, "The repository server's URL")
      ->required();
  config->add_option("--listen", proxy->proxy.listen, "Address and port the mirror listens on")
      ->capture_default_str();
  config
      ->add_option("--cache-dir", proxy->proxy.directory,
                   "The mirror's directory: its cache, logs and pid file (made when missing)")
      ->capture_default_str();
  config->add_option("--max-size", proxy->maxSize, "The most the cache holds")
      ->capture_default_str();
  config
      ->add_option("--ca-file", proxy->proxy.caFile,
                   "Certificates (PEM) an https upstream's certificate must lead to")
      ->capture_default_str();
  config->add_option("--api-version", proxy->proxy.apiVersion, "The server's API version")
      ->capture_default_str();
  config->add_option("-o,--output", proxy->output,
                     "Write the configuration to this file (replaced whole) instead of standard "
                     "output");
  onChosen(config, proxy, action, runProxyConfig);
}

}  // namespace qx::quarn_cli
