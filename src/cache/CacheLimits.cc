#include "CacheLimits.hh"

#include <algorithm>
#include <string>

#include <qx/common/Console.hh>
#include <qx/common/Util.hh>

#include "qx/quarn_tools/ByteSizes.hh"

namespace qx::quarn_tools::internal {
namespace {

// Replaces `value` by the number in `variable` when it is set; `example`
// shows what the warning about a bad one expects.
void override(const char *variable, std::uint64_t &value, const char *example) {
  std::string text;
  if (!qx::common::env(variable, text)) return;
  std::uint64_t parsed = 0;
  if (parseByteSize(text, parsed)) {
    value = parsed;
  } else {
    qxwarn << variable << "=" << text << " is not a number (such as " << example
           << "); ignored\n";
  }
}

}  // namespace

std::chrono::milliseconds LockPatience() {
  std::uint64_t seconds = 600;
  override(kLockWaitVariable, seconds, "600");
  return std::chrono::milliseconds(std::min<std::uint64_t>(seconds, 24 * 3600) * 1000);
}

UnpackLimits EffectiveUnpackLimits(const ClientConfig *config) {
  UnpackLimits limits;
  if (config != nullptr) {
    limits.maxBytes = config->MaxUnpackedSize();
    limits.maxEntries = config->MaxEntries();
  }
  override(kMaxUnpackedSizeVariable, limits.maxBytes, "16GiB");
  override(kMaxEntriesVariable, limits.maxEntries, "100000");
  return limits;
}

}  // namespace qx::quarn_tools::internal
