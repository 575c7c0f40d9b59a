#include "Outcomes.hh"

namespace qx::quarn_tools::internal {
namespace {

// The fields every resource identifier has.
template <typename Identifier>
DownloadOutcome naming(ResourceKind kind, const Identifier &id, const std::string &url) {
  DownloadOutcome outcome;
  outcome.kind = kind;
  outcome.url = url;
  outcome.server = id.Server().Url().Str();
  outcome.apiVersion = id.Server().Version();
  outcome.owner = id.Owner();
  outcome.name = id.Name();
  return outcome;
}

}  // namespace

DownloadOutcome OutcomeNaming(ResourceKind kind, const ModelIdentifier &id,
                              const std::string &url) {
  DownloadOutcome outcome = naming(kind, id, url);
  outcome.version = id.Version();
  return outcome;
}

DownloadOutcome OutcomeNaming(ResourceKind kind, const WorldIdentifier &id,
                              const std::string &url) {
  DownloadOutcome outcome = naming(kind, id, url);
  outcome.version = id.Version();
  return outcome;
}

DownloadOutcome OutcomeNaming(const CollectionIdentifier &id, const std::string &url) {
  return naming(ResourceKind::kCollection, id, url);
}

DownloadFailure FailureOf(const FailureNotes &notes, const Result &result) {
  DownloadFailure failure;
  // What the steps say once the saves were abandoned is only the
  // consequence.
  if (notes.Interrupted()) {
    failure.reason = FailureReason::kInterrupted;
    failure.text = "the download was interrupted";
    return failure;
  }
  if (notes.First()) return *notes.First();
  failure = failureOf(result);
  if (failure.reason == FailureReason::kNone) failure.reason = FailureReason::kOther;
  return failure;
}

void Fail(DownloadOutcome &outcome, const Result &result, FailureReason reason,
          const std::string &text) {
  outcome.result = result;
  outcome.failure = DownloadFailure();
  outcome.failure.reason = reason;
  outcome.failure.text = text;
}

void FailOnFailedDependency(DownloadOutcome &outcome, const Result *result) {
  for (const DownloadOutcome &dependency : outcome.dependencies) {
    if (dependency.result || dependency.result.Type() == FETCH_MISSING) continue;
    outcome.result = result != nullptr ? *result : dependency.result;
    outcome.failure = dependency.failure;
    outcome.failure.text =
        "its dependency " + dependency.url + " failed: " + dependency.failure.text;
    return;
  }
}

}  // namespace qx::quarn_tools::internal
