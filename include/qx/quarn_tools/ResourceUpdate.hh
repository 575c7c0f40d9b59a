/*
 * What a cache update did for one cached model or world: the record that
 * QuarnClient::UpdateModels and UpdateWorlds give for every resource they
 * looked at, with where the new version went and why a failure failed. A
 * plain value.
 */
#ifndef QX_QUARN_TOOLS_RESOURCEUPDATE_HH_
#define QX_QUARN_TOOLS_RESOURCEUPDATE_HH_

#include <string>

#include "qx/quarn_tools/DownloadOutcome.hh"
#include "qx/quarn_tools/Result.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools {

struct ResourceUpdate {
  // "models" or "worlds".
  std::string kind;
  ServerConfig server;
  std::string owner;
  std::string name;
  // The newest version in the cache before the update.
  unsigned int cachedVersion = 0;
  // The newest version on the server; 0 when its details could not be had.
  unsigned int serverVersion = 0;
  // FETCH_CACHED: the cache held the newest version already; FETCH_DONE:
  // the newer version was downloaded; a failure: the details or the
  // download failed (with the server's answer, when there was one).
  Result result;
  // Why it failed, in words (failureOf when the details failed, the
  // download's own reason otherwise).
  DownloadFailure failure;
  // The version directory of the version downloaded (FETCH_DONE).
  std::string path;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_RESOURCEUPDATE_HH_
