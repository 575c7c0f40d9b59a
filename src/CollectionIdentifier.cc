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
  std::string name;
  std::string owner;
  ServerConfig server;
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

std::string CollectionIdentifier::Name() const { return impl_->name; }

bool CollectionIdentifier::SetName(const std::string &name) {
  impl_->name = name;
  return true;
}

std::string CollectionIdentifier::Owner() const { return impl_->owner; }

bool CollectionIdentifier::SetOwner(const std::string &owner) {
  impl_->owner = owner;
  return true;
}

ServerConfig &CollectionIdentifier::Server() const { return impl_->server; }

bool CollectionIdentifier::SetServer(const ServerConfig &server) {
  if (!server.Url().Valid()) return false;
  impl_->server = server;
  return true;
}

std::string CollectionIdentifier::UniqueName() const {
  return identifier::UniqueName(impl_->server, impl_->owner, kKind, impl_->name);
}

qx::common::URI CollectionIdentifier::Url() const {
  return identifier::Url(impl_->server, impl_->owner, kKind, impl_->name);
}

std::string CollectionIdentifier::AsString(const std::string &prefix) const {
  std::ostringstream out;
  dump::Plain(out, prefix, "Name: ", impl_->name);
  dump::Plain(out, prefix, "Owner: ", impl_->owner);
  dump::Plain(out, prefix, "Unique name: ", UniqueName());
  identifier::PlainServerBlock(out, prefix, impl_->server);
  return out.str();
}

std::string CollectionIdentifier::AsPrettyString(const std::string &prefix) const {
  std::ostringstream out;
  dump::PrettyIfSet(out, prefix, "Name: ", impl_->name);
  dump::PrettyIfSet(out, prefix, "Owner: ", impl_->owner);
  identifier::PrettyServerBlock(out, prefix, impl_->server);
  return out.str();
}

}  // namespace qx::quarn_tools
