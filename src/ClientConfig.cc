#include "qx/quarn_tools/ClientConfig.hh"

#include <yaml.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "CacheLimits.hh"

namespace qx::quarn_tools {

const char *const kDefaultUserAgent = "KovariQuarnTools-11.0.0";
const long kMaxConfigFileSize = 1024 * 1024;
const std::uint64_t kDefaultMaxUnpackedSize = internal::kDefaultUnpackBytes;
const std::uint64_t kDefaultMaxEntries = internal::kDefaultUnpackEntries;

namespace {

constexpr const char *kCachePathVariable = "QX_QUARN_CACHE_PATH";

// HOME/.qx/quarn
std::string DefaultCacheLocation() {
  std::string home;
  qx::common::env("HOME", home);
  return qx::common::joinPaths(home, ".qx", "quarn");
}

// The value of QX_QUARN_CACHE_PATH; false when it is unset or empty.
bool CachePathVariable(std::string &value) {
  return qx::common::env(kCachePathVariable, value);
}

struct FileCloser {
  void operator()(std::FILE *file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct ParserDeleter {
  void operator()(yaml_parser_t *parser) const {
    yaml_parser_delete(parser);
    delete parser;
  }
};
using ParserPtr = std::unique_ptr<yaml_parser_t, ParserDeleter>;

// Owns one pulled event and releases it on every path.
class Event {
 public:
  Event() = default;
  ~Event() {
    if (pulled_) yaml_event_delete(&event_);
  }
  Event(const Event &) = delete;
  Event &operator=(const Event &) = delete;

  bool Pull(yaml_parser_t *parser) {
    pulled_ = yaml_parser_parse(parser, &event_) == 1;
    return pulled_;
  }
  const yaml_event_t &operator*() const { return event_; }

 private:
  yaml_event_t event_{};
  bool pulled_ = false;
};

}  // namespace

struct ClientConfig::Implementation {
  std::vector<ServerConfig> servers{ServerConfig()};
  std::string cacheLocation = DefaultCacheLocation();
  std::string configPath;
  std::string userAgent = kDefaultUserAgent;
  std::uint64_t maxUnpackedSize = kDefaultMaxUnpackedSize;
  std::uint64_t maxEntries = kDefaultMaxEntries;
};

namespace {

// Reads the events of a configuration file into a configuration's server
// list. Every node is tracked with its place in the document, so unknown keys
// and their values are skipped whole, whatever they hold.
class ConfigFileReader {
 public:
  ConfigFileReader(std::vector<ServerConfig> &servers, const std::string &path)
      : servers_(servers), path_(path) {}

  // Pulls events until the end of the stream. False when anything went wrong.
  bool Read(yaml_parser_t *parser);

  const std::string &CachePath() const { return cachePath_; }
  // The unpack limits the file sets (limits: max-unpacked-size, max-entries).
  const std::optional<std::uint64_t> &MaxUnpackedSize() const { return maxUnpackedSize_; }
  const std::optional<std::uint64_t> &MaxEntries() const { return maxEntries_; }

 private:
  // One open mapping or sequence: the role of the node (the key it is the
  // value of, "servers[]" for an item of the servers sequence), and for a
  // mapping whether the next scalar is a key and the last key read.
  struct Frame {
    bool mapping = false;
    std::string role;
    bool expectKey = true;
    std::string key;
  };

  void Handle(const yaml_event_t &event);
  std::string RoleOfNewNode() const;
  void OpenNode(bool mapping);
  void CloseNode();
  void Scalar(const std::string &text);
  void ValueDone();
  void FinishServer();
  void Limit(const std::string &key, const std::string &text);

  std::vector<ServerConfig> &servers_;
  const std::string &path_;
  std::vector<Frame> frames_;
  std::string url_;
  std::string token_;
  std::string cachePath_;
  std::optional<std::uint64_t> maxUnpackedSize_;
  std::optional<std::uint64_t> maxEntries_;
  bool rootSeen_ = false;
  bool result_ = true;
};

bool ConfigFileReader::Read(yaml_parser_t *parser) {
  while (true) {
    Event event;
    if (!event.Pull(parser)) {
      qxerr << "Parser error [" << parser->error << "]\n";
      if (parser->problem != nullptr) {
        qxerr << "Configuration file [" << path_ << "] is not valid YAML: "
              << parser->problem << " at line " << parser->problem_mark.line + 1
              << ", column " << parser->problem_mark.column + 1 << "\n";
      }
      return false;
    }
    if ((*event).type == YAML_STREAM_END_EVENT) break;
    Handle(*event);
  }
  return result_;
}

void ConfigFileReader::Handle(const yaml_event_t &event) {
  switch (event.type) {
    case YAML_SCALAR_EVENT:
      Scalar(std::string(reinterpret_cast<const char *>(event.data.scalar.value),
                         event.data.scalar.length));
      break;
    case YAML_ALIAS_EVENT:
      Scalar("");
      break;
    case YAML_MAPPING_START_EVENT:
      OpenNode(true);
      break;
    case YAML_SEQUENCE_START_EVENT:
      OpenNode(false);
      break;
    case YAML_MAPPING_END_EVENT:
    case YAML_SEQUENCE_END_EVENT:
      CloseNode();
      break;
    case YAML_NO_EVENT:
    case YAML_STREAM_START_EVENT:
    case YAML_STREAM_END_EVENT:
    case YAML_DOCUMENT_START_EVENT:
    case YAML_DOCUMENT_END_EVENT:
      break;
    default:
      qxerr << "Unknown event type [" << static_cast<int>(event.type) << "]\n";
      result_ = false;
      break;
  }
}

std::string ConfigFileReader::RoleOfNewNode() const {
  if (frames_.empty()) return "root";
  const Frame &parent = frames_.back();
  return parent.mapping ? parent.key : parent.role + "[]";
}

void ConfigFileReader::OpenNode(bool mapping) {
  Frame frame;
  frame.mapping = mapping;
  frame.role = RoleOfNewNode();
  if (frames_.empty()) {
    rootSeen_ = true;
    if (!mapping) {
      qxerr << "Configuration file [" << path_
            << "] must hold a mapping with \"servers\" and \"cache\" keys\n";
      result_ = false;
    }
  }
  if (mapping && frame.role == "servers[]" && frames_.size() == 2) {
    url_.clear();
    token_.clear();
  }
  frames_.push_back(frame);
}

void ConfigFileReader::CloseNode() {
  if (frames_.empty()) return;
  const Frame frame = frames_.back();
  frames_.pop_back();
  if (frame.mapping && frame.role == "servers[]" && frames_.size() == 2) {
    FinishServer();
  } else if (frame.mapping && frame.role == "cache" && frames_.size() == 1 &&
             cachePath_.empty()) {
    qxerr << "[path] parameter is required for a cache\n";
    result_ = false;
  }
  ValueDone();
}

void ConfigFileReader::Scalar(const std::string &text) {
  if (frames_.empty()) {
    // A document that is a lone scalar: not a configuration.
    if (!rootSeen_ && !text.empty()) {
      qxerr << "Configuration file [" << path_
            << "] must hold a mapping with \"servers\" and \"cache\" keys\n";
      result_ = false;
    }
    rootSeen_ = true;
    return;
  }
  Frame &top = frames_.back();
  if (!top.mapping) return;
  if (top.expectKey) {
    top.key = text;
    top.expectKey = false;
    return;
  }
  const bool inServer = top.role == "servers[]" && frames_.size() == 3;
  const bool inCache = top.role == "cache" && frames_.size() == 2;
  if (inServer && top.key == "url") url_ = text;
  if (inServer && top.key == "private-token") token_ = text;
  if (inCache && top.key == "path") cachePath_ = text;
  if (top.role == "limits" && frames_.size() == 2) Limit(top.key, text);
  ValueDone();
}

void ConfigFileReader::Limit(const std::string &key, const std::string &text) {
  std::optional<std::uint64_t> *target = key == "max-unpacked-size" ? &maxUnpackedSize_
                                         : key == "max-entries"      ? &maxEntries_
                                                                     : nullptr;
  if (target == nullptr) return;
  std::uint64_t value = 0;
  if (!internal::ParseByteSize(text, value)) {
    qxerr << "Invalid value [" << text << "] of [limits: " << key << "] in configuration file ["
          << path_ << "]\n";
    result_ = false;
    return;
  }
  *target = value;
}

// A value of the innermost mapping is complete: the next scalar is a key.
void ConfigFileReader::ValueDone() {
  if (!frames_.empty() && frames_.back().mapping) frames_.back().expectKey = true;
}

void ConfigFileReader::FinishServer() {
  if (url_.empty()) {
    qxerr << "[url] parameter is required for a server\n";
    result_ = false;
    return;
  }
  for (auto &server : servers_) {
    if (server.Url().Str() != url_) continue;
    if (!token_.empty()) {
      qxmsg << "Set private token for " << url_ << " server.\n";
      server.SetApiKey(token_);
    }
    qxwarn << "URL [" << url_ << "] already exists. " << "Ignoring server\n";
    return;
  }
  const qx::common::URI url(url_, false);
  if (!url.Valid()) {
    qxerr << "Invalid server URL [" << url_ << "] in configuration file [" << path_
          << "]\n";
    result_ = false;
    return;
  }
  ServerConfig server;
  server.SetUrl(url);
  if (!token_.empty()) {
    qxmsg << "Set private token for " << url_ << " server.\n";
    server.SetApiKey(token_);
  }
  servers_.push_back(server);
}

}  // namespace

ClientConfig::ClientConfig() : impl_(std::make_unique<Implementation>()) {
  std::string cachePath;
  if (!CachePathVariable(cachePath)) return;

  if (qx::common::isDirectory(cachePath))
    impl_->cacheLocation = cachePath;
  else
    qxerr << "[" << cachePath << "] is not a directory\n";

  const std::string yaml = qx::common::joinPaths(impl_->cacheLocation, "config.yaml");
  const std::string yml = qx::common::joinPaths(impl_->cacheLocation, "config.yml");
  if (qx::common::exists(yaml))
    LoadConfig(yaml);
  else if (qx::common::exists(yml))
    LoadConfig(yml);
}

ClientConfig::ClientConfig(const ClientConfig &other)
    : impl_(std::make_unique<Implementation>(*other.impl_)) {}

ClientConfig &ClientConfig::operator=(const ClientConfig &other) {
  if (this != &other) impl_ = std::make_unique<Implementation>(*other.impl_);
  return *this;
}

ClientConfig::~ClientConfig() = default;

bool ClientConfig::LoadConfig(const std::string &path) {
  if (!qx::common::exists(path)) {
    qxerr << "Unable to find configuration file [" << path << "]\n";
    return false;
  }
  FilePtr file(qx::common::isDirectory(path) ? nullptr : std::fopen(path.c_str(), "rb"));
  if (!file) {
    qxerr << "Failed to open configuration file [" << path << "]\n";
    return false;
  }
  impl_->configPath = path;

  if (std::fseek(file.get(), 0, SEEK_END) != 0 ||
      std::ftell(file.get()) > kMaxConfigFileSize) {
    qxerr << "Configuration file [" << path << "] is larger than "
          << kMaxConfigFileSize << " bytes\n";
    return false;
  }
  std::rewind(file.get());

  ParserPtr parser(new yaml_parser_t);
  if (yaml_parser_initialize(parser.get()) != 1) {
    qxerr << "Failed to initialize YAML parser\n";
    return false;
  }
  yaml_parser_set_input_file(parser.get(), file.get());

  ConfigFileReader reader(impl_->servers, path);
  const bool result = reader.Read(parser.get());

  std::string cacheLocation = DefaultCacheLocation();
  if (!reader.CachePath().empty()) cacheLocation = reader.CachePath();
  std::string variable;
  if (CachePathVariable(variable)) {
    qxwarn << "QX_QUARN_CACHE_PATH is set to [" << variable << "]. The "
           << "path in the configuration file will be ignored\n";
    cacheLocation = variable;
  }
  impl_->cacheLocation = cacheLocation;
  if (reader.MaxUnpackedSize()) impl_->maxUnpackedSize = *reader.MaxUnpackedSize();
  if (reader.MaxEntries()) impl_->maxEntries = *reader.MaxEntries();
  return result;
}

std::vector<ServerConfig> ClientConfig::Servers() const { return impl_->servers; }

std::vector<ServerConfig> &ClientConfig::MutableServers() const { return impl_->servers; }

void ClientConfig::AddServer(const ServerConfig &server) {
  impl_->servers.push_back(server);
}

std::string ClientConfig::CacheLocation() const { return impl_->cacheLocation; }

void ClientConfig::SetCacheLocation(const std::string &path) {
  impl_->cacheLocation = path;
}

std::string ClientConfig::ConfigPath() const { return impl_->configPath; }

const std::string &ClientConfig::UserAgent() const { return impl_->userAgent; }

void ClientConfig::SetUserAgent(const std::string &agent) { impl_->userAgent = agent; }

void ClientConfig::Clear() {
  impl_->servers.clear();
  impl_->cacheLocation.clear();
  impl_->configPath.clear();
  impl_->userAgent = kDefaultUserAgent;
  impl_->maxUnpackedSize = kDefaultMaxUnpackedSize;
  impl_->maxEntries = kDefaultMaxEntries;
}

std::uint64_t ClientConfig::MaxUnpackedSize() const { return impl_->maxUnpackedSize; }

void ClientConfig::SetMaxUnpackedSize(std::uint64_t bytes) { impl_->maxUnpackedSize = bytes; }

std::uint64_t ClientConfig::MaxEntries() const { return impl_->maxEntries; }

void ClientConfig::SetMaxEntries(std::uint64_t entries) { impl_->maxEntries = entries; }

std::string ClientConfig::AsString(const std::string &prefix) const {
  std::ostringstream out;
  out << prefix << "Config path: " << impl_->configPath << "\n"
      << prefix << "Cache location: " << impl_->cacheLocation << "\n"
      << prefix << "Servers:" << "\n";
  for (const auto &server : Servers()) {
    out << prefix << "  ---" << "\n" << prefix << server.AsString("  ");
  }
  return out.str();
}

}  // namespace qx::quarn_tools
