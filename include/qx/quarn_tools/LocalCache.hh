/*
 * The on-disk cache of downloaded models and worlds. Every version of a
 * resource lives in its own directory:
 *
 *   cache root / uriToPath(server URL) / owner / "models"|"worlds" / name / version
 *
 * A version directory exists whole or not at all: saves build a version in
 * a staging directory beside it and publish it with one rename, so lookups
 * never see a partial version, whatever other threads or processes, crashes
 * or full disks do. Several processes may save into one cache at once.
 *
 * The cache keeps no index and no memory between calls: every operation walks
 * the directories again, so lookups may run while other threads save. It
 * points at a ClientConfig it does not own, which must outlive it (a null
 * configuration gives empty results). The operations are virtual so that an
 * application may hand the client a cache of its own.
 */
#ifndef QX_QUARN_TOOLS_LOCALCACHE_HH_
#define QX_QUARN_TOOLS_LOCALCACHE_HH_

#include <memory>
#include <string>

#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/Model.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/ModelIter.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"
#include "qx/quarn_tools/WorldIter.hh"

namespace qx::quarn_tools {

class LocalCachePrivate;

class QX_QUARN_TOOLS_VISIBLE LocalCache {
 public:
  // Keeps the pointer; touches no file.
  explicit LocalCache(const ClientConfig *config);
  virtual ~LocalCache();

  // Every cached model (a model version directory holds a model.config) of
  // every configured server, each with its server and absolute path set.
  virtual ModelIter AllModels();
  // Every cached world version of every configured server.
  virtual WorldIter AllWorlds() const;

  // The cached model of id's server, owner and name: exactly id's version,
  // or the highest cached version when id's version is 0. An empty Model
  // when there is none.
  virtual Model MatchingModel(const ModelIdentifier &id);
  // The same for a world: true with id replaced by the cached world's
  // identifier (actual version, local path), or false with id unchanged.
  virtual bool MatchingWorld(WorldIdentifier &id) const;

  // The cached models (every version) whose name, owner and server agree
  // with those set in id; empty fields match anything. Nothing when id sets
  // none of them. Goes through AllModels().
  virtual ModelIter MatchingModels(const ModelIdentifier &id);
  // The same for worlds, through AllWorlds().
  virtual WorldIter MatchingWorlds(const WorldIdentifier &id) const;

  // Stores the zip archive `data` of one model version: unpacks it, points
  // the "model://" references of the model's main SDF file at the server's
  // file URLs, and publishes the version directory. REQUIRES: id has a
  // server, owner, name and a version other than 0. Refused when the version
  // directory exists and `overwrite` is false; with `overwrite`, files the
  // new archive lacks stay (the merged version replaces the old one in one
  // step). False when the archive does not unpack whole (damaged, over the
  // limits of ClientConfig, hostile entry names, a full disk, a link below
  // the cache root owned by another user), or holds no model.config at its
  // top; nothing of the save is then left in the cache.
  virtual bool SaveModel(const ModelIdentifier &id, const std::string &data,
                         bool overwrite);
  // The same for a world (no file is rewritten); on success id's local path
  // is the version directory.
  virtual bool SaveWorld(WorldIdentifier &id, const std::string &data, bool overwrite);

  // How the client hands a downloaded archive to an application's cache (a
  // subclass): as the file `archivePath`, which is read and left in place.
  // A subclass inherits versions that read the file and pass its bytes to
  // SaveModel and SaveWorld, so overriding those alone still receives every
  // download; override these too to take the file instead. (A LocalCache
  // itself is handed its downloads where they lie; called directly, it
  // unpacks the file straight from disk, so memory does not grow with its
  // size.) A model archive without model.config at its top is refused.
  virtual bool SaveModelArchive(const ModelIdentifier &id, const std::string &archivePath,
                                bool overwrite);
  virtual bool SaveWorldArchive(WorldIdentifier &id, const std::string &archivePath,
                                bool overwrite);

 private:
  std::shared_ptr<LocalCachePrivate> dataPtr;
};

// For a program about to end at once (on an interrupt, say, without
// joining the threads that download): removes the staging directories of
// every save this process has under way, so that nothing of them, archives
// included, stays in any cache. Those saves then fail. Any thread.
QX_QUARN_TOOLS_VISIBLE void abandonUnfinishedSaves();

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_LOCALCACHE_HH_
