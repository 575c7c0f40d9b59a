#include "FailureNotes.hh"

#include <atomic>
#include <cctype>

namespace qx::quarn_tools::internal {
namespace {

thread_local FailureNotes *tInnermost = nullptr;
std::atomic<std::uint64_t> gInterruptions{0};

}  // namespace

FailureNotes::FailureNotes() : FailureNotes(Interruptions()) {}

FailureNotes::FailureNotes(std::uint64_t interruptions)
    : outer_(tInnermost), interruptions_(interruptions) {
  tInnermost = this;
}

FailureNotes::~FailureNotes() { tInnermost = outer_; }

bool FailureNotes::Interrupted() const { return gInterruptions.load() != interruptions_; }

void NoteInterruption() { gInterruptions.fetch_add(1); }

std::uint64_t Interruptions() { return gInterruptions.load(); }

void NoteFailure(const DownloadFailure &failure) {
  if (tInnermost != nullptr && !tInnermost->first_) tInnermost->first_ = failure;
}

void NoteCacheFailure(const std::string &action, const std::string &path,
                      const std::string &detail) {
  DownloadFailure failure;
  failure.reason = FailureReason::kCache;
  failure.path = path;
  failure.detail = detail;
  failure.text = "unable to " + action + " [" + path + "]: " + detail;
  NoteFailure(failure);
}

void NoteCacheError(const std::string &line) {
  DownloadFailure failure;
  failure.reason = FailureReason::kCache;
  failure.text = line;
  // A sentence of its own becomes a clause: "unable to ...".
  if (failure.text.size() > 1 && std::isupper(static_cast<unsigned char>(failure.text[0])) &&
      std::islower(static_cast<unsigned char>(failure.text[1])))
    failure.text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(failure.text[0])));
  NoteFailure(failure);
}

void NoteArchiveFailure(const std::string &archive, const std::string &text,
                        const std::string &detail) {
  DownloadFailure failure;
  failure.reason = FailureReason::kArchive;
  failure.path = archive;
  failure.detail = detail;
  failure.text = text;
  NoteFailure(failure);
}

}  // namespace qx::quarn_tools::internal
