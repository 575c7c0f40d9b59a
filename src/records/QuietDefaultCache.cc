#include "QuietDefaultCache.hh"

namespace qx::quarn_tools::internal {
namespace {

thread_local bool tQuiet = false;

}  // namespace

QuietDefaultCache::QuietDefaultCache() : outer_(tQuiet) { tQuiet = true; }

QuietDefaultCache::~QuietDefaultCache() { tQuiet = outer_; }

bool QuietDefaultCache::Active() { return tQuiet; }

}  // namespace qx::quarn_tools::internal
