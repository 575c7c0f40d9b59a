#include "qx/quarn_tools/ModelIter.hh"

#include <utility>

#include "IterRestIds.hh"
#include "ListedModel.hh"

namespace qx::quarn_tools {

// ---- ModelIterPrivate ------------------------------------------------------

ModelIterPrivate::ModelIterPrivate() = default;

ModelIterPrivate::~ModelIterPrivate() = default;

Model &ModelIterPrivate::Current() { return current; }

// ---- IterIds ---------------------------------------------------------------

IterIds::IterIds(std::vector<ModelIdentifier> ids) : ids(std::move(ids)) {
  if (!this->ids.empty()) SetCurrent();
}

IterIds::~IterIds() = default;

void IterIds::Next() {
  if (HasReachedEnd()) return;
  ++position;
  if (!HasReachedEnd()) SetCurrent();
}

bool IterIds::HasReachedEnd() const { return position >= ids.size(); }

void IterIds::SetCurrent() { current = internal::ListedModel(ids[position]); }

// ---- IterModels ------------------------------------------------------------

IterModels::IterModels(std::vector<Model> models) : models(std::move(models)) {
  if (!this->models.empty()) SetCurrent();
}

IterModels::~IterModels() = default;

void IterModels::Next() {
  if (HasReachedEnd()) return;
  ++position;
  if (!HasReachedEnd()) SetCurrent();
}

bool IterModels::HasReachedEnd() const { return position >= models.size(); }

void IterModels::SetCurrent() { current = models[position]; }

// ---- ModelIter -------------------------------------------------------------

ModelIter::ModelIter(std::unique_ptr<ModelIterPrivate> strategy)
    : strategy_(std::move(strategy)) {}

ModelIter::ModelIter(ModelIter &&other) noexcept : strategy_(std::move(other.strategy_)) {}

ModelIter &ModelIter::operator=(ModelIter &&other) noexcept {
  strategy_ = std::move(other.strategy_);
  return *this;
}

ModelIter::~ModelIter() = default;

ModelIter::operator bool() const { return strategy_ && !strategy_->HasReachedEnd(); }

ModelIter &ModelIter::operator++() {
  if (*this) strategy_->Next();
  return *this;
}

Model &ModelIter::operator*() const { return strategy_ ? strategy_->Current() : none_; }

Model *ModelIter::operator->() const { return &**this; }

// ---- ModelIterFactory ------------------------------------------------------

ModelIter ModelIterFactory::Create(const std::vector<ModelIdentifier> &ids) {
  return ModelIter(std::make_unique<IterIds>(ids));
}

ModelIter ModelIterFactory::Create(const std::vector<Model> &models) {
  return ModelIter(std::make_unique<IterModels>(models));
}

ModelIter ModelIterFactory::Create(const Rest &rest, const ServerConfig &server,
                                   const std::string &api) {
  return ModelIter(std::make_unique<IterRestIds>(rest, server, api));
}

ModelIter ModelIterFactory::Create() {
  return ModelIter(std::make_unique<IterIds>(std::vector<ModelIdentifier>()));
}

}  // namespace qx::quarn_tools
