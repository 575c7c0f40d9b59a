#include "qx/quarn_tools/ConfigFileWriter.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "ConfigFileKeys.hh"
#include "FileIo.hh"
#include "qx/quarn_tools/ClientConfig.hh"

namespace qx::quarn_tools {

namespace {

// As deep as the reader goes (ClientConfig.cc); the parser's cost grows
// with the depth, so deeper files are refused before they are loaded.
constexpr int kMaxNesting = 64;

struct ParserDeleter {
  void operator()(yaml_parser_t *parser) const {
    yaml_parser_delete(parser);
    delete parser;
  }
};
using ParserPtr = std::unique_ptr<yaml_parser_t, ParserDeleter>;

ParserPtr ParserOver(const std::string &text) {
  ParserPtr parser(new yaml_parser_t);
  if (yaml_parser_initialize(parser.get()) != 1) {
    delete parser.release();
    return nullptr;
  }
  yaml_parser_set_input_string(parser.get(), reinterpret_cast<const unsigned char *>(text.data()),
                               text.size());
  return parser;
}

// Owns a document until it is handed to the emitter (which deletes it).
class Document {
 public:
  Document() = default;
  ~Document() {
    if (owned_) yaml_document_delete(&document_);
  }
  Document(const Document &) = delete;
  Document &operator=(const Document &) = delete;

  yaml_document_t *Get() { return &document_; }
  void Own() { owned_ = true; }
  // For whoever deletes it next (the emitter does, whatever happens).
  yaml_document_t *Release() {
    owned_ = false;
    return &document_;
  }

 private:
  yaml_document_t document_{};
  bool owned_ = false;
};

// Whether the text parses as YAML without nesting deeper than the limit.
bool ParsesWithinDepth(const std::string &text, const std::string &path) {
  ParserPtr parser = ParserOver(text);
  if (!parser) return false;
  int depth = 0;
  while (true) {
    yaml_event_t event;
    if (yaml_parser_parse(parser.get(), &event) != 1) {
      qxerr << "Configuration file [" << path << "] is not valid YAML\n";
      return false;
    }
    const yaml_event_type_t type = event.type;
    yaml_event_delete(&event);
    if (type == YAML_STREAM_END_EVENT) return true;
    if (type == YAML_MAPPING_START_EVENT || type == YAML_SEQUENCE_START_EVENT) ++depth;
    if (type == YAML_MAPPING_END_EVENT || type == YAML_SEQUENCE_END_EVENT) --depth;
    if (depth > kMaxNesting) {
      qxerr << "Configuration file [" << path << "] nests deeper than " << kMaxNesting
            << " levels\n";
      return false;
    }
  }
}

// Loads the first document of `text`, or makes an empty one for empty text.
bool LoadDocument(const std::string &text, const std::string &path, Document &document) {
  if (!ParsesWithinDepth(text, path)) return false;
  ParserPtr parser = ParserOver(text);
  if (!parser || yaml_parser_load(parser.get(), document.Get()) != 1) {
    qxerr << "Configuration file [" << path << "] is not valid YAML\n";
    return false;
  }
  document.Own();
  if (yaml_document_get_root_node(document.Get()) != nullptr) return true;
  // An empty file: a document holding an empty mapping.
  yaml_document_delete(document.Release());
  if (yaml_document_initialize(document.Get(), nullptr, nullptr, nullptr, 1, 1) != 1) return false;
  document.Own();
  return yaml_document_add_mapping(document.Get(), nullptr, YAML_BLOCK_MAPPING_STYLE) != 0;
}

bool IsScalar(yaml_document_t *document, int id, const std::string &text) {
  const yaml_node_t *node = yaml_document_get_node(document, id);
  return node != nullptr && node->type == YAML_SCALAR_NODE &&
         std::string(reinterpret_cast<const char *>(node->data.scalar.value),
                     node->data.scalar.length) == text;
}

int AddScalar(yaml_document_t *document, const std::string &text) {
  return yaml_document_add_scalar(document, nullptr,
                                  reinterpret_cast<const yaml_char_t *>(text.data()),
                                  static_cast<int>(text.size()), YAML_ANY_SCALAR_STYLE);
}

yaml_node_pair_t *FindPair(yaml_document_t *document, int mapping, const std::string &key) {
  yaml_node_t *node = yaml_document_get_node(document, mapping);
  if (node == nullptr || node->type != YAML_MAPPING_NODE) return nullptr;
  for (yaml_node_pair_t *pair = node->data.mapping.pairs.start;
       pair < node->data.mapping.pairs.top; ++pair) {
    if (IsScalar(document, pair->key, key)) return pair;
  }
  return nullptr;
}

// Sets `key` of the mapping to the scalar `value`.
bool SetScalar(yaml_document_t *document, int mapping, const std::string &key,
               const std::string &value) {
  const int valueId = AddScalar(document, value);
  if (valueId == 0) return false;
  if (yaml_node_pair_t *pair = FindPair(document, mapping, key)) {
    pair->value = valueId;
    return true;
  }
  const int keyId = AddScalar(document, key);
  return keyId != 0 && yaml_document_append_mapping_pair(document, mapping, keyId, valueId) == 1;
}

// Whether the node is YAML's null: "servers:" with nothing after it.
bool IsNull(yaml_document_t *document, int id) {
  for (const char *null : {"", "~", "null", "Null", "NULL"}) {
    if (IsScalar(document, id, null) &&
        yaml_document_get_node(document, id)->data.scalar.style == YAML_PLAIN_SCALAR_STYLE)
      return true;
  }
  return false;
}

// The id of the "servers" sequence, added when there is none (or the key
// holds nothing); 0 when the file holds something else there.
int ServersSequence(yaml_document_t *document) {
  yaml_node_pair_t *pair = FindPair(document, 1, internal::kServersKey);
  if (pair != nullptr && !IsNull(document, pair->value)) {
    const yaml_node_t *value = yaml_document_get_node(document, pair->value);
    return value != nullptr && value->type == YAML_SEQUENCE_NODE ? pair->value : 0;
  }
  const int sequence = yaml_document_add_sequence(document, nullptr, YAML_BLOCK_SEQUENCE_STYLE);
  if (sequence == 0) return 0;
  if (pair != nullptr) {
    // Adding nodes may move the pairs: look the key up again.
    FindPair(document, 1, internal::kServersKey)->value = sequence;
    return sequence;
  }
  const int key = AddScalar(document, internal::kServersKey);
  if (key == 0 || yaml_document_append_mapping_pair(document, 1, key, sequence) != 1) return 0;
  return sequence;
}

// A server URL as written for comparison: lower case, without the slashes
// that may end it ("HTTP://Host:8085/" names the server "http://host:8085").
std::string ComparableUrl(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return qx::common::lowercase(url);
}

// The entry of the server `url` in the sequence (however its URL is
// spelled), added when there is none.
int ServerEntry(yaml_document_t *document, int sequence, const std::string &url) {
  const yaml_node_t *node = yaml_document_get_node(document, sequence);
  for (const yaml_node_item_t *item = node->data.sequence.items.start;
       item < node->data.sequence.items.top; ++item) {
    const yaml_node_pair_t *pair = FindPair(document, *item, internal::kUrlKey);
    const yaml_node_t *value =
        pair == nullptr ? nullptr : yaml_document_get_node(document, pair->value);
    if (value == nullptr || value->type != YAML_SCALAR_NODE) continue;
    const std::string text(reinterpret_cast<const char *>(value->data.scalar.value),
                           value->data.scalar.length);
    if (ComparableUrl(text) == ComparableUrl(url)) return *item;
  }
  const int entry = yaml_document_add_mapping(document, nullptr, YAML_BLOCK_MAPPING_STYLE);
  if (entry == 0 || !SetScalar(document, entry, internal::kUrlKey, url) ||
      yaml_document_append_sequence_item(document, sequence, entry) != 1)
    return 0;
  return entry;
}

int AppendText(void *target, unsigned char *bytes, size_t size) {
  static_cast<std::string *>(target)->append(reinterpret_cast<const char *>(bytes), size);
  return 1;
}

// The document as YAML text; the document is used up.
bool Emit(Document &document, std::string &text) {
  yaml_emitter_t emitter;
  if (yaml_emitter_initialize(&emitter) != 1) return false;
  yaml_emitter_set_output(&emitter, AppendText, &text);
  yaml_emitter_set_unicode(&emitter, 1);
  const bool ok = yaml_emitter_open(&emitter) == 1 &&
                  yaml_emitter_dump(&emitter, document.Release()) == 1 &&
                  yaml_emitter_close(&emitter) == 1;
  yaml_emitter_delete(&emitter);
  return ok;
}

// Writes `text` to a new file beside `path`, mode 0600, then renames it
// over `path`. A `path` that is a symbolic link (a configuration kept
// elsewhere, linked into place) has the file it names replaced, and stays
// a link.
bool ReplaceFile(const std::string &linkedPath, const std::string &text) {
  std::error_code ec;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(linkedPath, ec);
  const std::string path = ec ? linkedPath : resolved.string();
  const std::filesystem::path target(path);
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ec);
  std::string temporary = path + ".tmp-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    qxerr << "Unable to write configuration file [" << path << "]: " << std::strerror(errno)
          << "\n";
    return false;
  }
  bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    qxerr << "Unable to write configuration file [" << path << "]: " << std::strerror(errno)
          << "\n";
    std::remove(temporary.c_str());
  }
  return ok;
}

}  // namespace

bool storeServerToken(const std::string &path, const std::string &url,
                      const std::string &token) {
  std::string old;
  if (qx::common::exists(path)) {
    if (qx::common::isDirectory(path) || !internal::ReadWholeFile(path, old)) {
      qxerr << "Failed to open configuration file [" << path << "]\n";
      return false;
    }
    if (old.size() > static_cast<std::size_t>(kMaxConfigFileSize)) {
      qxerr << "Configuration file [" << path << "] is larger than " << kMaxConfigFileSize
            << " bytes\n";
      return false;
    }
  }
  Document document;
  if (!LoadDocument(old, path, document)) return false;
  yaml_document_t *doc = document.Get();
  const yaml_node_t *root = yaml_document_get_root_node(doc);
  if (root == nullptr || root->type != YAML_MAPPING_NODE) {
    qxerr << "Configuration file [" << path
          << "] must hold a mapping with \"servers\" and \"cache\" keys\n";
    return false;
  }
  const int servers = ServersSequence(doc);
  if (servers == 0) {
    qxerr << "Configuration file [" << path << "]: \"servers\" must be a sequence of servers\n";
    return false;
  }
  const int entry = ServerEntry(doc, servers, url);
  if (entry == 0 || !SetScalar(doc, entry, internal::kPrivateTokenKey, token)) {
    qxerr << "Unable to add the token to configuration file [" << path << "]\n";
    return false;
  }
  std::string text;
  if (!Emit(document, text)) {
    qxerr << "Unable to write configuration file [" << path << "]\n";
    return false;
  }
  return ReplaceFile(path, text);
}

}  // namespace qx::quarn_tools
