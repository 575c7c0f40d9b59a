#include "qx/quarn_tools/Result.hh"

#include <optional>

namespace qx::quarn_tools {

struct Result::Implementation {
  ResultType type = RESULT_UNKNOWN;
  std::optional<ServerReply> reply;
};

Result::Result() : Result(RESULT_UNKNOWN) {}

Result::Result(ResultType type) : impl_(std::make_unique<Implementation>()) {
  impl_->type = type;
}

Result::Result(ResultType type, const ServerReply &reply) : Result(type) {
  impl_->reply = reply;
  if (impl_->reply->text.size() > ServerReply::kTextLimit)
    impl_->reply->text.resize(ServerReply::kTextLimit);
}

Result::Result(const Result &other)
    : impl_(std::make_unique<Implementation>(*other.impl_)) {}

Result::Result(Result &&other) noexcept = default;

Result &Result::operator=(const Result &other) {
  if (this == &other) return *this;
  if (impl_)
    *impl_ = *other.impl_;
  else
    impl_ = std::make_unique<Implementation>(*other.impl_);
  return *this;
}

Result &Result::operator=(Result &&other) noexcept = default;

Result::~Result() = default;

ResultType Result::Type() const { return impl_->type; }

const ServerReply *Result::Reply() const {
  return impl_->reply ? &*impl_->reply : nullptr;
}

Result::operator bool() const {
  switch (impl_->type) {
    case DELETE_DONE:
    case FETCH_DONE:
    case FETCH_CACHED:
    case UPLOAD_DONE:
    case PATCH_DONE:
      return true;
    default:
      return false;
  }
}

std::string Result::ReadableResult() const {
  switch (impl_->type) {
    case DELETE_DONE: return "Successfully deleted";
    case DELETE_MISSING: return "Could not delete, model not found";
    case DELETE_FAILED: return "Delete failed. Other errors";
    case FETCH_DONE: return "Successfully fetched from server";
    case FETCH_CACHED: return "Already in cache, did not fetch from server";
    case FETCH_MISSING: return "Model not found";
    case FETCH_FAILED: return "Fetch failed. Other errors";
    case UPLOAD_DONE: return "Successfully uploaded to server";
    case UPLOAD_DUPLICATE: return "Model already exists";
    case UPLOAD_FAILED: return "Upload failed. Other errors";
    case PATCH_FAILED: return "Patch failed.";
    case PATCH_DONE: return "Successfully sent patch request to the server";
    default: return "Unknown result";
  }
}

}  // namespace qx::quarn_tools
