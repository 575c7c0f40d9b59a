/*
 * The pieces every outcome of the road is built from: the resource it
 * names, and the reason of a failure as the steps noted it. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_OUTCOMES_HH_
#define QX_QUARN_TOOLS_SRC_OUTCOMES_HH_

#include <string>

#include "FailureNotes.hh"
#include "qx/quarn_tools/CollectionIdentifier.hh"
#include "qx/quarn_tools/DownloadOutcome.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"

namespace qx::quarn_tools::internal {

// An outcome of `kind` naming the resource `id` (server, owner, name and
// version), asked for as `url`.
DownloadOutcome OutcomeNaming(ResourceKind kind, const ModelIdentifier &id, const std::string &url);
DownloadOutcome OutcomeNaming(ResourceKind kind, const WorldIdentifier &id, const std::string &url);
DownloadOutcome OutcomeNaming(const CollectionIdentifier &id, const std::string &url);

// Why a step that gave `result` failed: an interrupt (the saves of the
// process were abandoned), what it noted, or the result's own words.
DownloadFailure FailureOf(const FailureNotes &notes, const Result &result);

// An outcome failing for `reason`, said as `text`.
void Fail(DownloadOutcome &outcome, const Result &result, FailureReason reason,
          const std::string &text);

// A model whose dependency failed (not merely missing) failed too: the
// first such dependency fails `outcome`, with `result` when given, else
// the dependency's own result. Nothing else changes.
void FailOnFailedDependency(DownloadOutcome &outcome, const Result *result = nullptr);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_OUTCOMES_HH_
