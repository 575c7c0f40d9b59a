/*
 * The model handle a listing gives: a record holding the identifier only,
 * with no path on disk (not known to be cached). Internal; any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_LISTEDMODEL_HH_
#define QX_QUARN_TOOLS_SRC_LISTEDMODEL_HH_

#include "qx/quarn_tools/Model.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"

namespace qx::quarn_tools::internal {

// A new record for `id`, shared by no other handle.
Model ListedModel(const ModelIdentifier &id);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_LISTEDMODEL_HH_
