/*
 * A shared handle to one model of a listing: its identifier and, when the
 * model is in the local cache, its directory there. Copies of a Model share
 * one ModelPrivate record; a default Model holds nothing. Handles taken out
 * of an iterator stay valid after it moves on or is destroyed. A record is
 * not guarded: share it between threads only for reading.
 */
#ifndef QX_QUARN_TOOLS_MODEL_HH_
#define QX_QUARN_TOOLS_MODEL_HH_

#include <memory>
#include <string>

#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/Result.hh"

namespace qx::quarn_tools {

// The record a Model shares. Filled by whoever builds the handle (the
// listing iterators, the local cache).
struct QX_QUARN_TOOLS_VISIBLE ModelPrivate {
  ModelIdentifier identification;
  // The model's directory in the local cache; empty when not cached.
  std::string pathOnDisk;
};

class QX_QUARN_TOOLS_VISIBLE Model {
 public:
  // An empty handle.
  Model();
  explicit Model(std::shared_ptr<ModelPrivate> record);
  Model(const Model &other);
  Model &operator=(const Model &other);
  ~Model();

  // Whether the handle holds a record.
  explicit operator bool() const;

  // A copy of the identifier; a default identifier for an empty handle.
  ModelIdentifier Identification() const;
  // A copy of the cache path; empty for an empty handle.
  std::string PathToModel() const;
  // FETCH_CACHED when the model has a cache path, FETCH_FAILED when not,
  // RESULT_UNKNOWN for an empty handle. Never contacts a server.
  Result Fetch() const;

 private:
  std::shared_ptr<ModelPrivate> record_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_MODEL_HH_
