#include "qx/quarn_tools/ServerConfig.hh"

#include <sstream>

#include "Dump.hh"

namespace qx::quarn_tools {

const char *const kDefaultServerUrl = "https://quarn.kovari.org";

namespace {
constexpr const char *kDefaultApiVersion = "1.0";
}  // namespace

struct ServerConfig::Implementation {
  qx::common::URI url{kDefaultServerUrl, true};
  std::string key;
  std::string version{kDefaultApiVersion};
};

ServerConfig::ServerConfig() : impl_(std::make_unique<Implementation>()) {}

ServerConfig::ServerConfig(const ServerConfig &other)
    : impl_(std::make_unique<Implementation>(*other.impl_)) {}

ServerConfig &ServerConfig::operator=(const ServerConfig &other) {
  if (this != &other) *impl_ = *other.impl_;
  return *this;
}

ServerConfig::~ServerConfig() = default;

void ServerConfig::Clear() {
  impl_->url.Clear();
  impl_->key.clear();
  impl_->version = kDefaultApiVersion;
}

qx::common::URI ServerConfig::Url() const { return impl_->url; }

void ServerConfig::SetUrl(const qx::common::URI &url) { impl_->url = url; }

std::string ServerConfig::ApiKey() const { return impl_->key; }

void ServerConfig::SetApiKey(const std::string &key) { impl_->key = key; }

std::string ServerConfig::Version() const { return impl_->version; }

void ServerConfig::SetVersion(const std::string &version) { impl_->version = version; }

std::string ServerConfig::AsString(const std::string &prefix) const {
  std::ostringstream out;
  dump::Plain(out, prefix, "URL: ", impl_->url.Str());
  dump::Plain(out, prefix, "Version: ", impl_->version);
  dump::Plain(out, prefix, "API key: ", impl_->key);
  return out.str();
}

std::string ServerConfig::AsPrettyString(const std::string &prefix) const {
  std::ostringstream out;
  if (impl_->url.Valid()) dump::Pretty(out, prefix, "URL: ", impl_->url.Str());
  dump::PrettyIfSet(out, prefix, "Version: ", impl_->version);
  dump::PrettyIfSet(out, prefix, "API key: ", impl_->key);
  return out.str();
}

}  // namespace qx::quarn_tools
