/*
 * The on-disk cache of downloaded models and worlds. Every version of a
 * resource lives in its own directory:
 *
 *   cache root / uriToPath(server URL) / owner / "models"|"worlds" / name / version
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

  // Stores the zip archive `data` of one model version: unpacks it into the
  // version directory and points the "model://" references of the model's
  // main SDF file at the server's file URLs. REQUIRES: id has a server,
  // owner, name and a version other than 0. Refused when the version
  // directory exists and `overwrite` is false; with `overwrite`, files the
  // new archive lacks stay. False when the archive does not unpack whole;
  // its .zip file is then left in the version directory.
  virtual bool SaveModel(const ModelIdentifier &id, const std::string &data,
                         bool overwrite);
  // The same for a world (no file is rewritten); on success id's local path
  // is the version directory.
  virtual bool SaveWorld(WorldIdentifier &id, const std::string &data, bool overwrite);

 private:
  std::shared_ptr<LocalCachePrivate> dataPtr;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_LOCALCACHE_HH_
