#include "qx/quarn_tools/ModelIdentifier.hh"

#include <sstream>


#include "Dump.hh"
#include "IdentifierText.hh"
#include "Routes.hh"

namespace qx::quarn_tools {

namespace {
constexpr const char *kKind = internal::kModelsKind;
}  // namespace

struct ModelIdentifier::Implementation {
  identifier::Names names{true};
  std::string description;
  unsigned int fileSize = 0;
  std::time_t uploadDate = 0;
  std::time_t modifyDate = 0;
  unsigned int likes = 0;
  unsigned int downloads = 0;
  std::string licenseName;
  qx::common::URI licenseUrl;
  qx::common::URI licenseImageUrl;
  std::vector<std::string> tags;
  unsigned int version = 0;
  bool isPrivate = false;
};

ModelIdentifier::ModelIdentifier() : impl_(std::make_unique<Implementation>()) {}

ModelIdentifier::ModelIdentifier(const ModelIdentifier &other)
    : impl_(std::make_unique<Implementation>(*other.impl_)) {}

ModelIdentifier &ModelIdentifier::operator=(const ModelIdentifier &other) {
  if (this != &other) impl_ = std::make_unique<Implementation>(*other.impl_);
  return *this;
}

ModelIdentifier::~ModelIdentifier() = default;

bool ModelIdentifier::operator==(const ModelIdentifier &other) const {
  return UniqueName() == other.UniqueName();
}

bool ModelIdentifier::operator!=(const ModelIdentifier &other) const {
  return !(*this == other);
}

std::string ModelIdentifier::Name() const { return impl_->names.name; }

bool ModelIdentifier::SetName(const std::string &name) {
  impl_->names.SetName(name);
  return true;
}

std::string ModelIdentifier::Owner() const { return impl_->names.owner; }

bool ModelIdentifier::SetOwner(const std::string &owner) {
  impl_->names.SetOwner(owner);
  return true;
}

ServerConfig &ModelIdentifier::Server() const { return impl_->names.server; }

bool ModelIdentifier::SetServer(const ServerConfig &server) {
  return impl_->names.SetServer(server);
}

std::string ModelIdentifier::UniqueName() const { return impl_->names.UniqueName(kKind); }

qx::common::URI ModelIdentifier::Url() const { return impl_->names.Url(kKind); }

unsigned int ModelIdentifier::Version() const { return impl_->version; }

bool ModelIdentifier::SetVersion(unsigned int version) {
  impl_->version = version;
  return true;
}

std::string ModelIdentifier::VersionStr() const {
  return identifier::VersionText(impl_->version);
}

bool ModelIdentifier::SetVersionStr(const std::string &version) {
  return identifier::ParseVersionText(version, impl_->version);
}

std::string ModelIdentifier::Description() const { return impl_->description; }

bool ModelIdentifier::SetDescription(const std::string &description) {
  impl_->description = description;
  return true;
}

unsigned int ModelIdentifier::FileSize() const { return impl_->fileSize; }

bool ModelIdentifier::SetFileSize(unsigned int size) {
  impl_->fileSize = size;
  return true;
}

std::time_t ModelIdentifier::UploadDate() const { return impl_->uploadDate; }

bool ModelIdentifier::SetUploadDate(const std::time_t &date) {
  impl_->uploadDate = date;
  return true;
}

std::time_t ModelIdentifier::ModifyDate() const { return impl_->modifyDate; }

bool ModelIdentifier::SetModifyDate(const std::time_t &date) {
  impl_->modifyDate = date;
  return true;
}

unsigned int ModelIdentifier::LikeCount() const { return impl_->likes; }

bool ModelIdentifier::SetLikeCount(unsigned int likes) {
  impl_->likes = likes;
  return true;
}

unsigned int ModelIdentifier::DownloadCount() const { return impl_->downloads; }

bool ModelIdentifier::SetDownloadCount(unsigned int downloads) {
  impl_->downloads = downloads;
  return true;
}

std::string ModelIdentifier::LicenseName() const { return impl_->licenseName; }

bool ModelIdentifier::SetLicenseName(const std::string &name) {
  impl_->licenseName = name;
  return true;
}

std::string ModelIdentifier::LicenseUrl() const { return impl_->licenseUrl.Str(); }

bool ModelIdentifier::SetLicenseUrl(const std::string &url) {
  return impl_->licenseUrl.Parse(url);
}

std::string ModelIdentifier::LicenseImageUrl() const {
  return impl_->licenseImageUrl.Str();
}

bool ModelIdentifier::SetLicenseImageUrl(const std::string &url) {
  return impl_->licenseImageUrl.Parse(url);
}

std::vector<std::string> ModelIdentifier::Tags() const { return impl_->tags; }

bool ModelIdentifier::SetTags(const std::vector<std::string> &tags) {
  impl_->tags = tags;
  return true;
}

bool ModelIdentifier::Private() const { return impl_->isPrivate; }

void ModelIdentifier::SetPrivate(bool isPrivate) const { impl_->isPrivate = isPrivate; }

std::string ModelIdentifier::AsString(const std::string &prefix) const {
  std::ostringstream out;
  dump::Plain(out, prefix, "Name: ", impl_->names.name);
  dump::Plain(out, prefix, "Owner: ", impl_->names.owner);
  dump::Plain(out, prefix, "Version: ", VersionStr());
  dump::Plain(out, prefix, "Unique name: ", UniqueName());
  dump::Plain(out, prefix, "Description: ", impl_->description);
  dump::Plain(out, prefix, "File size: ", std::to_string(impl_->fileSize));
  dump::Plain(out, prefix, "Upload date: ", std::to_string(impl_->uploadDate));
  dump::Plain(out, prefix, "Likes: ", std::to_string(impl_->likes));
  dump::Plain(out, prefix, "Downloads: ", std::to_string(impl_->downloads));
  dump::Plain(out, prefix, "License name: ", impl_->licenseName);
  dump::Plain(out, prefix, "License URL: ", LicenseUrl());
  dump::Plain(out, prefix, "License image URL: ", LicenseImageUrl());
  out << prefix << "Tags: " << "\n";
  for (const auto &tag : impl_->tags) dump::Plain(out, prefix, "- ", tag);
  identifier::PlainServerBlock(out, prefix, impl_->names.server);
  return out.str();
}

std::string ModelIdentifier::AsPrettyString(const std::string &prefix) const {
  std::ostringstream out;
  dump::PrettyIfSet(out, prefix, "Name: ", impl_->names.name);
  dump::PrettyIfSet(out, prefix, "Owner: ", impl_->names.owner);
  dump::PrettyIfSet(out, prefix, "Version: ", dump::NumberOrEmpty(impl_->version));
  dump::PrettyIfSet(out, prefix, "Description: ", impl_->description);
  dump::PrettyIfSet(out, prefix, "File size: ", dump::NumberOrEmpty(impl_->fileSize));
  dump::PrettyIfSet(out, prefix, "Upload date: ", dump::NumberOrEmpty(impl_->uploadDate));
  dump::PrettyIfSet(out, prefix, "Likes: ", dump::NumberOrEmpty(impl_->likes));
  dump::PrettyIfSet(out, prefix, "Downloads: ", dump::NumberOrEmpty(impl_->downloads));
  dump::PrettyIfSet(out, prefix, "License name: ", impl_->licenseName);
  dump::PrettyIfSet(out, prefix, "License URL: ", LicenseUrl());
  dump::PrettyIfSet(out, prefix, "License image URL: ", LicenseImageUrl());
  if (!impl_->tags.empty()) {
    dump::PrettyLabel(out, prefix, "Tags: ");
    for (const auto &tag : impl_->tags) dump::Pretty(out, prefix, "- ", tag);
  }
  identifier::PrettyServerBlock(out, prefix, impl_->names.server);
  return out.str();
}

}  // namespace qx::quarn_tools
