/*
 * What the tests of saves into the cache share: a cache over a temporary
 * root with one server, archives of a small model, and the paths a save of
 * it makes.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_CACHEWRITERFIXTURE_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_CACHEWRITERFIXTURE_HH_

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CacheNames.hh"
#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "support/ArchiveBuilder.hh"
#include "support/Builders.hh"
#include "support/TestSupport.hh"

namespace qx::test::cache_writer {

using qx::quarn_tools::ClientConfig;
using qx::quarn_tools::LocalCache;
using qx::quarn_tools::ModelIdentifier;
using qx::test::ArchiveBuilder;
using qx::test::ModelOn;
using qx::test::ReadFile;
using qx::test::ServerAt;
using qx::test::TempDir;
using qx::test::TreeFiles;
using qx::test::LogCapture;

inline const char *const kServer = "https://one.example.org";
inline const char *const kModelConfig =
    "<?xml version='1.0'?>\n<model><name>box</name><sdf version='1.9'>model.sdf</sdf></model>\n";
inline const char *const kSdf = "<sdf version='1.9'><model name='box'/></sdf>";

// The uid of a user other than us, for links "planted" by someone else.
constexpr uid_t kOtherUser = 65534;

inline std::string ArchiveData(const ArchiveBuilder &builder) {
  TempDir tmp;
  builder.Write(tmp.Join("a.zip"));
  return ReadFile(tmp.Join("a.zip"));
}

inline ArchiveBuilder BoxArchive(const std::string &payload = "payload") {
  return ArchiveBuilder()
      .File("model.config", kModelConfig)
      .File("model.sdf", kSdf)
      .File("meshes/a.obj", payload)
      .File("meshes/b.obj", payload + payload);
}

class CacheWriterTest : public ::testing::Test {
 protected:
  CacheWriterTest() {
    config_.Clear();
    config_.SetCacheLocation(root_.Path());
    config_.AddServer(ServerAt(kServer));
  }

  ModelIdentifier Box(unsigned int version = 1) const {
    return ModelOn(ServerAt(kServer), "alice", "box", version);
  }
  std::string ServerDir() const { return root_.Join("one.example.org"); }
  std::string ResourceDir() const { return ServerDir() + "/alice/models/box"; }
  std::string VersionDir(int version = 1) const {
    return ResourceDir() + "/" + std::to_string(version);
  }
  bool Saves(const ArchiveBuilder &builder, unsigned int version = 1) {
    return cache_.SaveModel(Box(version), ArchiveData(builder), true);
  }
  // What the cache holds below the server's directory (which a save makes
  // and leaves).
  std::vector<std::string> Left() const {
    std::vector<std::string> left;
    for (const auto &[path, content] : TreeFiles(ServerDir())) left.push_back(path);
    return left;
  }

  LogCapture log_;
  TempDir root_;
  ClientConfig config_;
  LocalCache cache_{&config_};
};

// The name of a staging directory of the process `pid` on `host`.
inline std::string Scratch(const std::string &host, pid_t pid) {
  namespace cache = qx::quarn_tools::internal::cache;
  return cache::ScratchName(cache::Scratch::kStaging, host, pid, 1);
}

// Makes `path` look `seconds` old.
inline void Age(const std::string &path, std::time_t seconds) {
  namespace fs = std::filesystem;
  const auto then = fs::file_time_type::clock::now() - std::chrono::seconds(seconds);
  fs::last_write_time(path, then);
}

// Whether links can be given to another user (root only).
inline bool CanPlantLinks() { return ::geteuid() == 0; }

// A link at `path` to `target`, owned by another user.
inline void PlantLink(const std::string &target, const std::string &path) {
  namespace fs = std::filesystem;
  fs::create_directories(fs::path(path).parent_path());
  fs::create_symlink(target, path);
  ASSERT_EQ(::lchown(path.c_str(), kOtherUser, kOtherUser), 0) << std::strerror(errno);
}

}  // namespace qx::test::cache_writer

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_CACHEWRITERFIXTURE_HH_
