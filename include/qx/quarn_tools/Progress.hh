/*
 * Process-wide download counters, for front ends that draw a progress line.
 * The library only counts (atomically, from whichever thread downloads); a
 * front end takes snapshots from any thread, as often as it likes, and shows
 * the difference between the first snapshot and the latest. Counters only
 * grow, except the gauge of archives being unpacked.
 */
#ifndef QX_QUARN_TOOLS_PROGRESS_HH_
#define QX_QUARN_TOOLS_PROGRESS_HH_

#include <cstdint>
#include <string>

#include "qx/quarn_tools/Export.hh"

namespace qx::quarn_tools {

struct TransferProgress {
  // Response body bytes received by every request of the process.
  std::uint64_t bytesReceived = 0;
  // The body bytes those requests expect: what each body announced
  // (Content-Length), plus what had to be received again when a transfer
  // started over. Bodies of unknown length add nothing, so the share
  // received is bytesReceived / bytesExpected only while every body begun
  // announced its length.
  std::uint64_t bytesExpected = 0;
  // Model and world archive downloads begun, and ended (either way).
  std::uint64_t resourcesStarted = 0;
  std::uint64_t resourcesFinished = 0;
  // Of those ended, the ones that published a version in the cache.
  std::uint64_t resourcesSaved = 0;
  // Archives being unpacked now (a gauge: it goes down again).
  std::uint64_t resourcesUnpacking = 0;
  // The name of the resource whose download began last, and of the one
  // saved last ("table"); empty before the first.
  std::string latestResource;
  std::string latestSaved;
};

// The counters now.
QX_QUARN_TOOLS_VISIBLE TransferProgress currentTransferProgress();

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_PROGRESS_HH_
