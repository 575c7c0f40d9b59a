/*
 * How the download road hands an archive to the client's cache: as the
 * staging directory the download wrote it into, an object rather than a
 * path to be found again. A LocalCache saves it where it lies and says
 * what it published; an application's subclass of LocalCache receives it
 * through its virtual saves (SaveModelArchive and SaveWorldArchive, and
 * through their inherited versions SaveModel and SaveWorld), which say only
 * whether they saved it. Internal; any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_DOWNLOADEDARCHIVE_HH_
#define QX_QUARN_TOOLS_SRC_DOWNLOADEDARCHIVE_HH_

#include <optional>
#include <string>

#include "CacheWriter.hh"
#include "StagingDirectory.hh"
#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"

namespace qx::quarn_tools::internal::cache {

// The archive file `name` of a download's staging directory.
struct StagedArchive {
  StagingDirectory &stage;
  std::string name;
};

// How a save of a download ended: whether it saved, and what it published
// when the cache says (a LocalCache does; an application's cache does not).
struct DownloadSave {
  bool saved = false;
  std::optional<Published> published;
};

// Saves the downloaded version `id` into `cache`, over the configuration
// `config` (the client's, which the client's cache reads), overwriting.
DownloadSave SaveDownloadedModel(LocalCache &cache, const ClientConfig &config,
                                 const ModelIdentifier &id, const StagedArchive &archive);
// The same for a world; on success `id` carries the local path.
DownloadSave SaveDownloadedWorld(LocalCache &cache, const ClientConfig &config, WorldIdentifier &id,
                                 const StagedArchive &archive);

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_DOWNLOADEDARCHIVE_HH_
