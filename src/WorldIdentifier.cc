#include "qx/quarn_tools/WorldIdentifier.hh"

#include <sstream>


#include "Dump.hh"
#include "IdentifierText.hh"
#include "Routes.hh"

namespace qx::quarn_tools {

namespace {
constexpr const char *kKind = internal::kWorldsKind;
}  // namespace

struct WorldIdentifier::Implementation {
  identifier::Names names{true};
  unsigned int version = 0;
  std::string localPath;
  bool isPrivate = false;
};

WorldIdentifier::WorldIdentifier() : impl_(std::make_unique<Implementation>()) {}

WorldIdentifier::WorldIdentifier(const WorldIdentifier &other)
    : impl_(std::make_unique<Implementation>(*other.impl_)) {}

WorldIdentifier &WorldIdentifier::operator=(const WorldIdentifier &other) {
  if (this != &other) impl_ = std::make_unique<Implementation>(*other.impl_);
  return *this;
}

WorldIdentifier::~WorldIdentifier() = default;

bool WorldIdentifier::operator==(const WorldIdentifier &other) const {
  return UniqueName() == other.UniqueName();
}

std::string WorldIdentifier::Name() const { return impl_->names.name; }

bool WorldIdentifier::SetName(const std::string &name) {
  impl_->names.SetName(name);
  return true;
}

std::string WorldIdentifier::Owner() const { return impl_->names.owner; }

bool WorldIdentifier::SetOwner(const std::string &owner) {
  impl_->names.SetOwner(owner);
  return true;
}

ServerConfig &WorldIdentifier::Server() const { return impl_->names.server; }

bool WorldIdentifier::SetServer(const ServerConfig &server) {
  return impl_->names.SetServer(server);
}

std::string WorldIdentifier::UniqueName() const { return impl_->names.UniqueName(kKind); }

qx::common::URI WorldIdentifier::Url() const { return impl_->names.Url(kKind); }

unsigned int WorldIdentifier::Version() const { return impl_->version; }

bool WorldIdentifier::SetVersion(unsigned int version) {
  impl_->version = version;
  return true;
}

std::string WorldIdentifier::VersionStr() const {
  return identifier::VersionText(impl_->version);
}

bool WorldIdentifier::SetVersionStr(const std::string &version) {
  return identifier::ParseVersionText(version, impl_->version);
}

std::string WorldIdentifier::LocalPath() const { return impl_->localPath; }

bool WorldIdentifier::SetLocalPath(const std::string &path) {
  impl_->localPath = path;
  return true;
}

bool WorldIdentifier::Private() const { return impl_->isPrivate; }

void WorldIdentifier::SetPrivate(bool isPrivate) { impl_->isPrivate = isPrivate; }

std::string WorldIdentifier::AsString(const std::string &prefix) const {
  std::ostringstream out;
  dump::Plain(out, prefix, "Name: ", impl_->names.name);
  dump::Plain(out, prefix, "Owner: ", impl_->names.owner);
  dump::Plain(out, prefix, "Version: ", VersionStr());
  dump::Plain(out, prefix, "Unique name: ", UniqueName());
  dump::Plain(out, prefix, "Local path: ", impl_->localPath);
  identifier::PlainServerBlock(out, prefix, impl_->names.server);
  return out.str();
}

std::string WorldIdentifier::AsPrettyString(const std::string &prefix) const {
  std::ostringstream out;
  dump::PrettyIfSet(out, prefix, "Name: ", impl_->names.name);
  dump::PrettyIfSet(out, prefix, "Owner: ", impl_->names.owner);
  dump::PrettyIfSet(out, prefix, "Version: ",
                    dump::NumberOrEmpty(impl_->version));
  identifier::PrettyServerBlock(out, prefix, impl_->names.server);
  return out.str();
}

}  // namespace qx::quarn_tools
