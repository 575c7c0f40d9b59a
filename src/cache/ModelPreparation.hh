/*
 * What a model version needs before it is published, done in the tree a
 * save unpacked: a model.config at its top (a version without one is no
 * model, and no lookup would ever find it, so it is refused and nothing is
 * published), the model's metadata read once (metadata.pbtxt, else the
 * model.config converted: the record the download road takes the
 * dependencies from), and the "model://" references of its main SDF file
 * pointed at the server (SdfRewrite.hh) with the model.config text read
 * for the metadata. Internal; any thread, for different trees.
 */
#ifndef QX_QUARN_TOOLS_SRC_MODELPREPARATION_HH_
#define QX_QUARN_TOOLS_SRC_MODELPREPARATION_HH_

#include <string>
#include <vector>

#include "FileSystem.hh"
#include "MetadataFiles.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"

namespace qx::quarn_tools::internal::cache {

// The metadata of a prepared model version.
struct ModelMetadata {
  qx::msgs::QuarnMetadata record;
  MetadataSource source = MetadataSource::kNone;
};

// Prepares version `id` of a model unpacked in `tree`, which becomes
// `versionDirectory` (log lines name that): adds to `changed` the
// "/"-separated paths of the files it rewrote. False, having said why,
// when the version must not be published: no model.config at the top, or
// a rewritten file that could not be written. A model.config that does not
// convert is no reason to refuse (its source says so).
bool PrepareModelVersion(const ModelIdentifier &id, const Directory &tree,
                         const std::string &versionDirectory, FileSystem &fileSystem,
                         std::vector<std::string> &changed, ModelMetadata &metadata);

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_MODELPREPARATION_HH_
