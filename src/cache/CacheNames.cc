#include "CacheNames.hh"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <qx/common/Filesystem.hh>
#include <random>

#include "qx/quarn_tools/Helpers.hh"

namespace qx::quarn_tools::internal::cache {
namespace {

constexpr const char *kInternalPrefix = ".qx";
constexpr const char *kStagingPrefix = ".qxstage-";
constexpr const char *kTrashPrefix = ".qxtrash-";
constexpr const char *kPartPrefix = ".qxpart-";

bool startsWith(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string safeHost(const std::string &host) {
  std::string safe;
  for (const char c : host) {
    const bool kept = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
    safe += kept ? c : '_';
  }
  return safe.empty() ? "localhost" : safe;
}

// The decimal number `text` as a positive value; nothing otherwise.
std::optional<unsigned long> positiveNumber(const std::string &text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  for (const char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (value == 0) return std::nullopt;
  return value;
}

// Where the serial numbers of this process start: at random, so that a
// process that gets the process id of a dead one (as in a fresh container)
// does not pick the names that one left behind.
unsigned long firstSerial() {
  std::random_device random;
  const unsigned long high = random();
  return ((high << 16) ^ random()) % 1000000000000UL + 1;
}

}  // namespace

std::optional<std::string> ServerDirectory(const std::string &root, const ServerConfig &server) {
  const std::string relative = uriToPath(server.Url());
  if (relative.empty() || root.empty()) return std::nullopt;
  return qx::common::joinPaths(root, relative);
}

std::string ResourceDirectory(const std::string &root, const std::string &uniqueName) {
  return qx::common::joinPaths(root, uniqueName);
}

std::string VersionDirectory(const std::string &root, const std::string &uniqueName,
                             const std::string &version) {
  return qx::common::joinPaths(ResourceDirectory(root, uniqueName), version);
}

std::string ArchiveFileName(const std::string &resourceName) { return resourceName + ".zip"; }

std::string ModelConfigPath(const std::string &directory) {
  return qx::common::joinPaths(directory, kModelConfigFile);
}

std::string MetadataPath(const std::string &directory) {
  return qx::common::joinPaths(directory, kMetadataFile);
}

std::string LockFileName() { return ".qxlock"; }

std::string ManifestFileName(const std::string &version) { return ".qxmanifest-" + version; }

std::string ScratchName(Scratch kind, const std::string &host, pid_t pid, unsigned long serial) {
  return std::string(kind == Scratch::kStaging ? kStagingPrefix : kTrashPrefix) + safeHost(host) +
         "-" + std::to_string(pid) + "-" + std::to_string(serial);
}

std::string NewScratchName(Scratch kind) {
  static std::atomic<unsigned long> serial{firstSerial()};
  return ScratchName(kind, HostName(), ::getpid(), ++serial);
}

std::optional<ScratchOwner> ParseScratchName(const std::string &name) {
  ScratchOwner owner;
  std::string rest;
  if (startsWith(name, kStagingPrefix)) {
    owner.kind = Scratch::kStaging;
    rest = name.substr(std::string(kStagingPrefix).size());
  } else if (startsWith(name, kTrashPrefix)) {
    owner.kind = Scratch::kTrash;
    rest = name.substr(std::string(kTrashPrefix).size());
  } else {
    return std::nullopt;
  }
  // HOST-PID-SERIAL, read from the right: host names may hold "-".
  const std::size_t serialDash = rest.rfind('-');
  if (serialDash == std::string::npos || serialDash == 0) return std::nullopt;
  const std::size_t pidDash = rest.rfind('-', serialDash - 1);
  if (pidDash == std::string::npos || pidDash == 0) return std::nullopt;
  const auto pid = positiveNumber(rest.substr(pidDash + 1, serialDash - pidDash - 1));
  if (!pid || !positiveNumber(rest.substr(serialDash + 1)) || *pid > INT_MAX) return std::nullopt;
  owner.host = rest.substr(0, pidDash);
  owner.pid = static_cast<pid_t>(*pid);
  return owner;
}

std::string PartFileName(pid_t pid, unsigned long serial) {
  return kPartPrefix + std::to_string(pid) + "-" + std::to_string(serial);
}

std::string NewPartFileName() {
  static std::atomic<unsigned long> serial{firstSerial()};
  return PartFileName(::getpid(), ++serial);
}

bool IsPartFileName(const std::string &name) {
  if (!startsWith(name, kPartPrefix)) return false;
  const std::string rest = name.substr(std::string(kPartPrefix).size());
  const std::size_t dash = rest.find('-');
  return dash != std::string::npos && positiveNumber(rest.substr(0, dash)) &&
         positiveNumber(rest.substr(dash + 1));
}

std::string StagedTreeName() { return "tree"; }
std::string StagedRecordName() { return "record"; }
std::string StagedReplacedName() { return "replaced"; }

bool IsInternalName(const std::string &name) { return startsWith(name, kInternalPrefix); }

std::string HostName() {
  // Asked once: a process keeps its host.
  static const std::string host = [] {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) return safeHost("");
    return safeHost(buffer);
  }();
  return host;
}

}  // namespace qx::quarn_tools::internal::cache
