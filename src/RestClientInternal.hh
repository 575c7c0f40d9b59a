/*
 * Transport settings that are fixed for users but that tests need to reach:
 * the time-outs that keep a dead or stalled server from hanging a caller.
 * Internal to the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_RESTCLIENTINTERNAL_HH_
#define QX_QUARN_TOOLS_SRC_RESTCLIENTINTERNAL_HH_

namespace qx::quarn_tools::internal {

struct TransferLimits {
  // Longest wait for a connection to be established.
  long connectTimeoutSeconds = 30;
  // A transfer moving less than 1 byte per second for this long is aborted.
  long lowSpeedTimeSeconds = 60;
};

// The limits applied to requests that start from now on.
TransferLimits CurrentTransferLimits();
// Replaces the limits (tests shorten them) and returns the previous ones.
TransferLimits SetTransferLimits(const TransferLimits &limits);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_RESTCLIENTINTERNAL_HH_
