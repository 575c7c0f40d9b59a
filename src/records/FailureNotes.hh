/*
 * How the reason of a failure travels up a road whose steps answer only
 * true or false (the virtual saves of LocalCache among them): the step that
 * fails notes why, where it logs its error line, and the caller that wants
 * the reason holds a FailureNotes while the steps run on its thread. The
 * first failure noted wins: the deepest step fails first, and the lines
 * that the steps above it then log add nothing. Without a FailureNotes on
 * the thread a note goes nowhere. Internal; one thread per object.
 */
#ifndef QX_QUARN_TOOLS_SRC_FAILURENOTES_HH_
#define QX_QUARN_TOOLS_SRC_FAILURENOTES_HH_

#include <cstdint>
#include <optional>
#include <string>

#include "qx/quarn_tools/DownloadOutcome.hh"

namespace qx::quarn_tools::internal {

// Collects the first failure noted on this thread while it lives; nested
// ones take the notes from the one outside them until they go away.
class FailureNotes {
 public:
  FailureNotes();
  // Counts as interrupted by what happened since `interruptions` (from
  // Interruptions()): for a step that continues work begun before.
  explicit FailureNotes(std::uint64_t interruptions);
  ~FailureNotes();
  FailureNotes(const FailureNotes &) = delete;
  FailureNotes &operator=(const FailureNotes &) = delete;

  // The first failure noted, if any.
  const std::optional<DownloadFailure> &First() const { return first_; }
  // Whether the process was interrupted (NoteInterruption) since this
  // object was made: what the steps noted since is then only a consequence.
  bool Interrupted() const;

 private:
  friend void NoteFailure(const DownloadFailure &failure);
  std::optional<DownloadFailure> first_;
  FailureNotes *outer_;
  std::uint64_t interruptions_;
};

// The process is about to end on an interrupt, and its saves were
// abandoned (abandonUnfinishedSaves). Any thread.
void NoteInterruption();
// How many interruptions there were so far.
std::uint64_t Interruptions();

// Notes `failure` for the innermost FailureNotes of this thread.
void NoteFailure(const DownloadFailure &failure);

// The notes of the common kinds. The disk: "unable to ACTION [PATH]:
// DETAIL" (DETAIL the system's words, "No space left on device").
void NoteCacheFailure(const std::string &action, const std::string &path,
                      const std::string &detail);
// The disk, said in a one-line error of the cache's own ("Unable to create
// directory [PATH]: Permission denied"): PATH and the words after it are
// the failure's path and detail.
void NoteCacheError(const std::string &line);
// What the archive at `archive` holds: `text` in words, `detail` libzip's
// reason or the entry concerned.
void NoteArchiveFailure(const std::string &archive, const std::string &text,
                        const std::string &detail = "");

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_FAILURENOTES_HH_
