#include "FailureNotes.hh"

#include <atomic>
#include <cctype>

namespace qx::quarn_tools::internal {
namespace {

thread_local FailureNotes *tInnermost = nullptr;
std::atomic<std::uint64_t> gInterruptions{0};

void noted(FailureReason reason, const std::string &path, const std::string &detail,
           const std::string &text) {
  DownloadFailure failure;
  failure.reason = reason;
  failure.path = path;
  failure.detail = detail;
  failure.text = text;
  NoteFailure(failure);
}

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
  noted(FailureReason::kCache, path, detail, "unable to " + action + " [" + path + "]: " + detail);
}

void NoteCacheError(const std::string &line) {
  std::string text = line;
  // A sentence of its own becomes a clause: "unable to ...".
  if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
      std::islower(static_cast<unsigned char>(text[1])))
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  // The house form "... [PATH]: DETAIL" gives the path and the system's
  // words as parts of their own.
  std::string path;
  std::string detail;
  const std::size_t open = text.find('[');
  const std::size_t close = text.rfind("]: ");
  if (open != std::string::npos && close != std::string::npos && close > open) {
    path = text.substr(open + 1, close - open - 1);
    detail = text.substr(close + 3);
  }
  noted(FailureReason::kCache, path, detail, text);
}

void NoteArchiveFailure(const std::string &archive, const std::string &text,
                        const std::string &detail) {
  noted(FailureReason::kArchive, archive, detail, text);
}

}  // namespace qx::quarn_tools::internal
