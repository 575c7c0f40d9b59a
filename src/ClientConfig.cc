#include "qx/quarn_tools/ClientConfig.hh"

#include <yaml.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "ConfigFileKeys.hh"
#include "OptionRanges.hh"
#include "QuietDefaultCache.hh"
#include "qx/quarn_tools/ByteSizes.hh"

namespace qx::quarn_tools {

const char *const kDefaultUserAgent = "KovariQuarnTools-11.0.0";
const long kMaxConfigFileSize = 1024 * 1024;
const std::uint64_t kDefaultMaxUnpackedSize = std::uint64_t{16} << 30;
const std::uint64_t kDefaultMaxEntries = 100000;

namespace {

constexpr const char *kCachePathVariable = "QX_QUARN_CACHE_PATH";

// HOME/.qx/quarn. Empty, with an error line, when HOME is not set: the cache
// never lands below the file-system root.
std::string DefaultCacheLocation() {
  std::string home;
  if (!qx::common::env("HOME", home)) {
    if (!internal::QuietDefaultCache::Active()) {
      qxerr << "No cache directory: HOME is not set, and neither is " << kCachePathVariable
            << ". Set one of them to the directory the cache should use.\n";
    }
    return "";
  }
  return qx::common::joinPaths(home, ".qx", "quarn");
}

// The value of QX_QUARN_CACHE_PATH; false when it is unset or empty.
bool CachePathVariable(std::string &value) {
  return qx::common::env(kCachePathVariable, value);
}

// The directory QX_QUARN_CACHE_PATH names. Empty, with an error line, when it
// names no directory: the cache does not quietly move elsewhere.
std::string CachePathDirectory(const std::string &value) {
  if (qx::common::isDirectory(value)) return value;
  qxerr << kCachePathVariable << " [" << value << "] is not a directory. Create it, or unset "
        << kCachePathVariable << " to use HOME/.qx/quarn.\n";
  return "";
}

// The cache location once a file was read that names `filePath` (empty:
// none). QX_QUARN_CACHE_PATH wins over the file, the file over HOME.
std::string CacheLocationAfterLoad(const std::string &filePath) {
  std::string variable;
  if (CachePathVariable(variable)) {
    if (!filePath.empty()) {
      qxwarn << "QX_QUARN_CACHE_PATH is set to [" << variable << "]. The "
             << "path in the configuration file will be ignored\n";
    }
    return CachePathDirectory(variable);
  }
  if (!filePath.empty()) return filePath;
  return DefaultCacheLocation();
}

// Stores the size (or count) `text` that the file gives for SECTION: KEY in
// `target`; an empty text leaves it. False, with an error line, when the
// text is no size.
bool ReadSize(const std::string &text, const char *section, const char *key,
              const std::string &path, std::uint64_t &target) {
  if (text.empty()) return true;
  std::uint64_t value = 0;
  if (!parseByteSize(text, value)) {
    qxerr << "Invalid value [" << text << "] of [" << section << ": " << key
          << "] in configuration file [" << path << "]\n";
    return false;
  }
  target = value;
  return true;
}

// ReadSize into a narrower field, which must lie in `range`.
template <typename Field>
bool ReadNumber(const std::string &text, const char *section, const char *key,
                const std::string &path, Field &field,
                internal::OptionRange range = {0, std::numeric_limits<Field>::max()}) {
  std::uint64_t value = static_cast<std::uint64_t>(field);
  if (!ReadSize(text, section, key, path, value)) return false;
  if (value < range.least || value > range.most) {
    qxerr << "Invalid value [" << text << "] of [" << section << ": " << key
          << "] in configuration file [" << path << "]: it must lie from " << range.least
          << " to " << range.most << "\n";
    return false;
  }
  field = static_cast<Field>(value);
  return true;
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
  std::string cacheLocation;
  std::string configPath;
  std::string userAgent = kDefaultUserAgent;
  bool offline = false;
  std::uint64_t maxUnpackedSize = kDefaultMaxUnpackedSize;
  std::uint64_t maxEntries = kDefaultMaxEntries;
  TransferOptions transfer;
};

namespace {

// Where a node of the file stands, as far as the reader cares. Nodes
// anywhere else are skipped whole, whatever they hold.
enum class Place { kRoot, kServers, kServer, kCache, kLimits, kTransfer, kIgnored };

// The texts a file sets. A server's url and token are pending until its
// mapping closes.
struct FileValues {
  std::string url;
  std::string token;
  std::string cachePath;
  std::string maxUnpackedSize;
  std::string maxEntries;
  std::string retries;
  std::string connectTimeout;
  std::string stallTimeout;
  std::string documentTimeout;
  std::string maxDocumentSize;
  std::string maxStreams;
};

// The top-level keys whose values the reader enters.
struct Section {
  const char *key;
  Place place;
};
const Section kSections[] = {
    {internal::kServersKey, Place::kServers},
    {internal::kCacheKey, Place::kCache},
    {internal::kLimitsKey, Place::kLimits},
    {internal::kTransferKey, Place::kTransfer},
};

// The scalar values the reader keeps: the mapping they stand in, their key,
// and where they go.
struct ValueKey {
  Place place;
  const char *key;
  std::string FileValues::*field;
};
const ValueKey kValueKeys[] = {
    {Place::kServer, internal::kUrlKey, &FileValues::url},
    {Place::kServer, internal::kPrivateTokenKey, &FileValues::token},
    {Place::kCache, internal::kPathKey, &FileValues::cachePath},
    {Place::kLimits, internal::kMaxUnpackedSizeKey, &FileValues::maxUnpackedSize},
    {Place::kLimits, internal::kMaxEntriesKey, &FileValues::maxEntries},
    {Place::kTransfer, internal::kRetriesKey, &FileValues::retries},
    {Place::kTransfer, internal::kConnectTimeoutKey, &FileValues::connectTimeout},
    {Place::kTransfer, internal::kStallTimeoutKey, &FileValues::stallTimeout},
    {Place::kTransfer, internal::kDocumentTimeoutKey, &FileValues::documentTimeout},
    {Place::kTransfer, internal::kMaxDocumentSizeKey, &FileValues::maxDocumentSize},
    {Place::kTransfer, internal::kMaxStreamsKey, &FileValues::maxStreams},
};

// The transfer options a file gives (transfer: ...), over `options`.
bool ReadTransfer(const FileValues &values, const std::string &path, TransferOptions &options) {
  using namespace internal;
  bool ok =
      ReadNumber(values.retries, kTransferKey, kRetriesKey, path, options.retries, kRetriesRange);
  ok &= ReadNumber(values.connectTimeout, kTransferKey, kConnectTimeoutKey, path,
                   options.connectTimeoutSeconds, kTimeoutRange);
  ok &= ReadNumber(values.stallTimeout, kTransferKey, kStallTimeoutKey, path,
                   options.stallTimeoutSeconds, kTimeoutRange);
  ok &= ReadNumber(values.documentTimeout, kTransferKey, kDocumentTimeoutKey, path,
                   options.documentTimeoutSeconds, kTimeoutRange);
  ok &= ReadNumber(values.maxDocumentSize, kTransferKey, kMaxDocumentSizeKey, path,
                   options.maxDocumentSize);
  ok &= ReadNumber(values.maxStreams, kTransferKey, kMaxStreamsKey, path, options.maxStreams,
                   kMaxStreamsRange);
  return ok;
}

// How deep the nodes of a configuration file may nest. A configuration needs
// four levels; the YAML parser's own work per event grows with the depth, so
// a deeper document is refused before it costs minutes.
constexpr std::size_t kMaxNesting = 64;

// Reads the events of a configuration file into a configuration's server
// list. Memory grows with the depth of the document only by one frame per
// open node (holding its last key), so it stays linear in the file's size;
// each server costs one look-up, so loading is linear in their number.
class ConfigFileReader {
 public:
  ConfigFileReader(std::vector<ServerConfig> &servers, const std::string &path);

  // Pulls events until the end of the stream. False when anything went wrong.
  bool Read(yaml_parser_t *parser);

  const FileValues &Values() const { return values_; }

 private:
  // One open mapping or sequence; for a mapping, whether the next scalar is
  // a key, and the last key read.
  struct Frame {
    bool mapping = false;
    Place place = Place::kIgnored;
    bool expectKey = true;
    std::string key;
  };

  void Handle(const yaml_event_t &event);
  Place PlaceOfNewNode(bool mapping) const;
  void OpenNode(bool mapping);
  void CloseNode();
  void Scalar(const std::string &text);
  void ValueDone();
  void FinishServer();
  void NotAConfiguration();

  std::vector<ServerConfig> &servers_;
  // The text form of every stored server's URL, with the position of the
  // first server that has it.
  std::unordered_map<std::string, std::size_t> known_;
  const std::string &path_;
  std::vector<Frame> frames_;
  FileValues values_;
  bool rootSeen_ = false;
  bool tooDeep_ = false;
  bool result_ = true;
};

ConfigFileReader::ConfigFileReader(std::vector<ServerConfig> &servers, const std::string &path)
    : servers_(servers), path_(path) {
  for (std::size_t i = 0; i < servers_.size(); ++i) known_.emplace(servers_[i].Url().Str(), i);
}

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
    if (tooDeep_) return false;
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

Place ConfigFileReader::PlaceOfNewNode(bool mapping) const {
  if (frames_.empty()) return Place::kRoot;
  const Frame &parent = frames_.back();
  if (parent.place == Place::kRoot && parent.mapping) {
    for (const Section &section : kSections) {
      if (parent.key == section.key) return section.place;
    }
  }
  if (parent.place == Place::kServers && !parent.mapping && mapping) return Place::kServer;
  return Place::kIgnored;
}

void ConfigFileReader::NotAConfiguration() {
  qxerr << "Configuration file [" << path_
        << "] must hold a mapping with \"servers\" and \"cache\" keys\n";
  result_ = false;
}

void ConfigFileReader::OpenNode(bool mapping) {
  if (frames_.size() >= kMaxNesting) {
    qxerr << "Configuration file [" << path_ << "] nests deeper than " << kMaxNesting
          << " levels\n";
    tooDeep_ = true;
    return;
  }
  Frame frame;
  frame.mapping = mapping;
  frame.place = PlaceOfNewNode(mapping);
  if (frame.place == Place::kRoot) {
    rootSeen_ = true;
    if (!mapping) NotAConfiguration();
  }
  if (frame.place == Place::kServer) {
    values_.url.clear();
    values_.token.clear();
  }
  frames_.push_back(std::move(frame));
}

void ConfigFileReader::CloseNode() {
  if (frames_.empty()) return;
  const bool mapping = frames_.back().mapping;
  const Place place = frames_.back().place;
  frames_.pop_back();
  if (mapping && place == Place::kServer) {
    FinishServer();
  } else if (mapping && place == Place::kCache && values_.cachePath.empty()) {
    qxerr << "[path] parameter is required for a cache\n";
    result_ = false;
  }
  ValueDone();
}

void ConfigFileReader::Scalar(const std::string &text) {
  if (frames_.empty()) {
    // A document that is a lone scalar: not a configuration.
    if (!rootSeen_ && !text.empty()) NotAConfiguration();
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
  for (const ValueKey &value : kValueKeys) {
    if (top.place == value.place && top.key == value.key) values_.*value.field = text;
  }
  ValueDone();
}

// A value of the innermost mapping is complete: the next scalar is a key.
void ConfigFileReader::ValueDone() {
  if (!frames_.empty() && frames_.back().mapping) frames_.back().expectKey = true;
}

void ConfigFileReader::FinishServer() {
  const std::string &url = values_.url;
  const std::string &token = values_.token;
  if (url.empty()) {
    qxerr << "[url] parameter is required for a server\n";
    result_ = false;
    return;
  }
  const auto known = known_.find(url);
  if (known != known_.end()) {
    ServerConfig &server = servers_[known->second];
    if (!token.empty()) {
      qxmsg << "Set private token for " << url << " server.\n";
      server.SetApiKey(token);
    }
    qxwarn << "URL [" << url << "] already exists. " << "Ignoring server\n";
    return;
  }
  const qx::common::URI parsed(url, false);
  if (!parsed.Valid()) {
    qxerr << "Invalid server URL [" << url << "] in configuration file [" << path_ << "]\n";
    result_ = false;
    return;
  }
  ServerConfig server;
  server.SetUrl(parsed);
  if (!token.empty()) {
    qxmsg << "Set private token for " << url << " server.\n";
    server.SetApiKey(token);
  }
  servers_.push_back(server);
  known_.emplace(servers_.back().Url().Str(), servers_.size() - 1);
}

}  // namespace

ClientConfig::ClientConfig() : impl_(std::make_unique<Implementation>()) {
  std::string cachePath;
  if (!CachePathVariable(cachePath)) {
    impl_->cacheLocation = DefaultCacheLocation();
    return;
  }
  impl_->cacheLocation = CachePathDirectory(cachePath);
  if (impl_->cacheLocation.empty()) return;

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
  impl_->cacheLocation = CacheLocationAfterLoad(reader.Values().cachePath);
  const bool limitsRead =
      ReadSize(reader.Values().maxUnpackedSize, internal::kLimitsKey,
               internal::kMaxUnpackedSizeKey, path, impl_->maxUnpackedSize) &
      ReadSize(reader.Values().maxEntries, internal::kLimitsKey, internal::kMaxEntriesKey, path,
               impl_->maxEntries);
  const bool transferRead = ReadTransfer(reader.Values(), path, impl_->transfer);
  return result && limitsRead && transferRead;
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

bool ClientConfig::Offline() const { return impl_->offline; }

void ClientConfig::SetOffline(bool offline) { impl_->offline = offline; }

void ClientConfig::Clear() {
  impl_->servers.clear();
  impl_->cacheLocation.clear();
  impl_->configPath.clear();
  impl_->userAgent = kDefaultUserAgent;
  impl_->maxUnpackedSize = kDefaultMaxUnpackedSize;
  impl_->maxEntries = kDefaultMaxEntries;
  impl_->transfer = TransferOptions();
}

const TransferOptions &ClientConfig::Transfer() const { return impl_->transfer; }

void ClientConfig::SetTransfer(const TransferOptions &options) { impl_->transfer = options; }

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
