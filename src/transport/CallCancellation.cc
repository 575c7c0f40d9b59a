// The public handle that cancels one call (Cancellation.hh), over the
// transport's cancellation token.
#include "qx/quarn_tools/Cancellation.hh"

#include "Cancellation.hh"

namespace qx::quarn_tools {

Cancellation::Cancellation() : token_(std::make_shared<const internal::CancelToken>()) {}

void Cancellation::Cancel() const { token_->Cancel(); }

bool Cancellation::Cancelled() const { return token_->Cancelled(); }

}  // namespace qx::quarn_tools
