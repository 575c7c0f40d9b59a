#include "ListedModel.hh"

#include <memory>
#include <utility>

namespace qx::quarn_tools::internal {

Model ListedModel(const ModelIdentifier &id) {
  auto record = std::make_shared<ModelPrivate>();
  record->identification = id;
  return Model(std::move(record));
}

}  // namespace qx::quarn_tools::internal
