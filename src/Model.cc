#include "qx/quarn_tools/Model.hh"

#include <utility>

namespace qx::quarn_tools {

Model::Model() = default;

Model::Model(std::shared_ptr<ModelPrivate> record) : record_(std::move(record)) {}

Model::Model(const Model &other) = default;

Model &Model::operator=(const Model &other) = default;

Model::~Model() = default;

Model::operator bool() const { return record_ != nullptr; }

ModelIdentifier Model::Identification() const {
  return record_ ? record_->identification : ModelIdentifier();
}

std::string Model::PathToModel() const {
  return record_ ? record_->pathOnDisk : std::string();
}

Result Model::Fetch() const {
  if (!record_) return Result(RESULT_UNKNOWN);
  return Result(record_->pathOnDisk.empty() ? FETCH_FAILED : FETCH_CACHED);
}

}  // namespace qx::quarn_tools
