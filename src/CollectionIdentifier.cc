#include "qx/quarn_tools/CollectionIdentifier.hh"

#include <sstream>

#include "Dump.hh"
#include "IdentifierText.hh"
#include "Routes.hh"

namespace qx::quarn_tools {

namespace {
constexpr const char *kKind = internal::kCollectionsKind;
}  // namespace

struct CollectionIdentifier::Implementation {
  identifier::Names names{false};
};

CollectionIdentifier::CollectionIdentifier()
    : impl_(std::make_unique<Implementation>()) {}

CollectionIdentifier::CollectionIdentifier(const CollectionIdentifier &other)
    : impl_(std::make_unique<Implementation>(*other.impl_)) {}

CollectionIdentifier &CollectionIdentifier::operator=(const CollectionIdentifier &other) {
  if (this != &other) impl_ = std::make_unique<Implementation>(*other.impl_);
  return *this;
}

CollectionIdentifier::~CollectionIdentifier() = default;

bool CollectionIdentifier::operator==(const CollectionIdentifier &other) const {
  return UniqueName() == other.UniqueName();
}

std::string CollectionIdentifier::Name() const { return impl_->names.name; }

bool CollectionIdentifier::SetName(const std::string &name) {
  impl_->names.SetName(name);
  return true;
}

std::string CollectionIdentifier::Owner() const { return impl_->names.owner; }

bool CollectionIdentifier::SetOwner(const std::string &owner) {
  impl_->names.SetOwner(owner);
  return true;
}

ServerConfig &CollectionIdentifier::Server() const { return impl_->names.server; }

bool CollectionIdentifier::SetServer(const ServerConfig &server) {
  return impl_->names.SetServer(server);
}

std::string CollectionIdentifier::UniqueName() const { return impl_->names.UniqueName(kKind); }

qx::common::URI CollectionIdentifier::Url() const { return impl_->names.Url(kKind); }

std::string CollectionIdentifier::AsString(const std::string &prefix) const {
  std::ostringstream out;
  dump::Plain(out, prefix, "Name: ", impl_->names.name);
  dump::Plain(out, prefix, "Owner: ", impl_->names.owner);
  dump::Plain(out, prefix, "Unique name: ", UniqueName());
  identifier::PlainServerBlock(out, prefix, impl_->names.server);
  return out.str();
}

std::string CollectionIdentifier::AsPrettyString(const std::string &prefix) const {
  std::ostringstream out;
  dump::PrettyIfSet(out, prefix, "Name: ", impl_->names.name);
  dump::PrettyIfSet(out, prefix, "Owner: ", impl_->names.owner);
  identifier::PrettyServerBlock(out, prefix, impl_->names.server);
  return out.str();
}

}  // namespace qx::quarn_tools
