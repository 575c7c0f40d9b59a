#include "Cancellation.hh"

#include <algorithm>
#include <thread>
#include <utility>

namespace qx::quarn_tools::internal {
namespace {

// How often a sleeping caller looks at its token.
constexpr std::chrono::milliseconds kLookEvery(100);

thread_local const CancelToken *tCurrent = nullptr;

}  // namespace

CancelToken::CancelToken() : state_(std::make_shared<State>()) {}

CancelToken::CancelToken(std::shared_ptr<State> state) : state_(std::move(state)) {}

CancelToken CancelToken::Child() const {
  auto state = std::make_shared<State>();
  state->parent = state_;
  return CancelToken(std::move(state));
}

void CancelToken::Cancel() const { state_->cancelled.store(true); }

bool CancelToken::Cancelled() const {
  for (const State *state = state_.get(); state != nullptr; state = state->parent.get()) {
    if (state->cancelled.load()) return true;
  }
  return false;
}

bool CancelToken::SleepFor(std::chrono::duration<double> duration) const {
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration);
  while (!Cancelled()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(end - now, kLookEvery));
  }
  return false;
}

CancelToken CurrentCancelToken() { return tCurrent != nullptr ? *tCurrent : CancelToken(); }

CancelScope::CancelScope(CancelToken token) : token_(std::move(token)), outer_(tCurrent) {
  tCurrent = &token_;
}

CancelScope::~CancelScope() { tCurrent = outer_; }

}  // namespace qx::quarn_tools::internal
