/*
 * Lookups of many models at once, for requests that resolve many URLs:
 * each answered as LocalCache::MatchingModel answers it (the version asked
 * for, or the newest), with one walk over each server directory for them
 * all rather than one walk per model. Reads the disk only; any thread.
 * Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_MATCHINGATONCE_HH_
#define QX_QUARN_TOOLS_SRC_MATCHINGATONCE_HH_

#include <vector>

#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/Model.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"

namespace qx::quarn_tools::internal::cache {

// One model per identifier, in order: what the cache of `config` holds of
// it, or an empty model.
std::vector<Model> MatchingModelsAtOnce(const ClientConfig &config,
                                        const std::vector<ModelIdentifier> &ids);

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_MATCHINGATONCE_HH_
