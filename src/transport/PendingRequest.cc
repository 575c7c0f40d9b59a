#include "PendingRequest.hh"

#include <exception>
#include <utility>

namespace qx::quarn_tools::internal {

PendingRequest::PendingRequest(Request request)
    : request_(std::move(request)), cancel_(CurrentCancelToken().Child()) {
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::exception &) {
    // Runs in Take instead.
  }
}

PendingRequest::~PendingRequest() {
  if (!thread_.joinable()) return;
  if (!taken_) cancel_.Cancel();
  thread_.join();
}

RestResponse PendingRequest::Take() {
  if (thread_.joinable()) {
    thread_.join();
  } else if (!taken_) {
    Run();
  }
  taken_ = true;
  return std::move(answer_);
}

void PendingRequest::Run() {
  const CancelScope scope(cancel_);
  try {
    answer_ = request_();
  } catch (...) {
    // Rest::Request throws nothing; a replacement that does gives no answer.
    answer_ = RestResponse();
  }
}

}  // namespace qx::quarn_tools::internal
