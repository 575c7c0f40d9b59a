// qx_save_crasher CACHE URL PHASE [N]: fetches URL into the cache CACHE, as
// `quarn fetch` does, and kills itself with SIGKILL at PHASE, the way a
// power cut or the OOM killer would end it:
//
//   body N    once the downloaded archive file holds N bytes
//   archive   when the save begins to unpack the whole archive
//   unpack N  when the save creates its Nth file
//   sdf       when the SDF rewrite writes the rewritten file
//   record    when the save writes the version's record
//   publish   just before the version is published
//   none      not at all
//
// Prints the fetched path and exits 0 when it gets that far.
#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <qx/quarn_tools/ClientConfig.hh>
#include <qx/quarn_tools/QuarnClient.hh>
#include <qx/quarn_tools/ResourceFetching.hh>
#include <string>

#include "support/FaultyFileSystem.hh"

namespace {

using Op = qx::test::FaultyFileSystem::Op;

bool inStage(const std::string &path) { return path.find("/.qxstage-") != std::string::npos; }
bool inTree(const std::string &path) {
  return inStage(path) && path.find("/tree/") != std::string::npos;
}
bool endsWith(const std::string &path, const std::string &tail) {
  return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::cerr << "usage: qx_save_crasher CACHE URL PHASE [N]\n";
    return 2;
  }
  const std::string phase = argv[3];
  const unsigned long n = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 0;
  qx::test::FaultyFileSystem faults;
  unsigned long created = 0;
  faults.SetHook([&](Op op, const std::string &path, const std::string &other) {
    const bool die =
        (phase == "body" && op == Op::kAppend && inStage(path) && !inTree(path) &&
         std::strtoul(other.c_str(), nullptr, 10) >= n) ||
        (phase == "archive" && op == Op::kCreateDirectory && inStage(path) && path.size() > 5 &&
         path.compare(path.size() - 5, 5, "/tree") == 0) ||
        (phase == "unpack" && op == Op::kCreateFile && inTree(path) && ++created >= n) ||
        (phase == "sdf" && op == Op::kCreateFile && inTree(path) &&
         path.find("/.qxpart-") != std::string::npos) ||
        (phase == "record" && op == Op::kCreateFile && inStage(path) && endsWith(path, "/record")) ||
        (phase == "publish" && op == Op::kRename && inStage(path) && path.size() > 5 &&
         path.compare(path.size() - 5, 5, "/tree") == 0);
    if (die) ::raise(SIGKILL);
  });

  qx::quarn_tools::ClientConfig config;
  config.SetCacheLocation(argv[1]);
  qx::quarn_tools::QuarnClient client(config, qx::quarn_tools::Rest());
  const std::string path = qx::quarn_tools::fetchResourceWithClient(argv[2], client);
  if (path.empty()) return 1;
  std::cout << path << std::endl;
  return 0;
}
