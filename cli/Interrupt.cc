#include "Interrupt.hh"

#include <cstdlib>

#include <qx/common/Console.hh>
#include <qx/quarn_tools/LocalCache.hh>

namespace qx::quarn_cli {

namespace {

constexpr int kSignalStatusBase = 128;

void reportUndone(const std::string &undone) { qxerr << "Interrupted: " << undone << "\n"; }

}  // namespace

Interrupt::Interrupt(Mode mode, const std::string &undone) : mode_(mode), undone_(undone) {
  handler_.AddCallback([this](int signal) { OnSignal(signal); });
}

// The handler, declared last, goes first: no callback runs once the rest is
// gone.
Interrupt::~Interrupt() = default;

void Interrupt::SetUndone(const std::string &undone) {
  std::lock_guard<std::mutex> lock(mutex_);
  undone_ = undone;
}

int Interrupt::Stopped(const std::string &undone) const {
  reportUndone(undone);
  return kSignalStatusBase + signal_;
}

void Interrupt::OnSignal(int signal) {
  if (signal_.exchange(signal) != 0 || mode_ == Mode::kEndAtOnce) {
    // A second signal ends even a command that was finishing its step.
    std::string undone;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      undone = undone_;
    }
    reportUndone(undone);
    // What the downloads under way have staged would stay in the cache.
    qx::quarn_tools::abandonUnfinishedSaves();
    // Worker threads may still run: no static destructors under them.
    std::_Exit(kSignalStatusBase + signal);
  }
}

}  // namespace qx::quarn_cli
