#include "Publisher.hh"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

#include <google/protobuf/text_format.h>

#include <qx/common/Console.hh>
#include <qx/common/Util.hh>
#include <qx/quarn_tools/ModelConfig.hh>

#include "ArchiveStore.hh"
#include "Documents.hh"
#include "RouteTable.hh"

namespace fs = std::filesystem;

namespace qx::quarn_server {

const char *const kWorkDirectory = ".quarn-work";

namespace {

const char kModelConfig[] = "model.config";
const char kMetadataPbtxt[] = "metadata.pbtxt";
// The form field that carries a file; its file name is the path relative to
// the model directory.
const char kFileField[] = "file";
// The names of work in progress: ".upload-N" and ".deleted-N".
const char kUploadWork[] = "upload";
const char kDeleteWork[] = "deleted";
// Held (flock) by the server that takes writes, so that a second one does
// not sweep away the first one's work.
const char kWorkLock[] = "lock";
// A metadata.pbtxt longer than this is not read to make a model.config.
const std::uint64_t kMaxMetadataBytes = 1 << 20;

// The first text field (a part without file name) called `name`.
std::optional<std::string> textField(const WriteRequest &request, const std::string &name) {
  for (const WritePart &part : request.parts)
    if (part.name == name && !part.file) return part.text;
  return std::nullopt;
}

bool hasFileParts(const WriteRequest &request) {
  for (const WritePart &part : request.parts)
    if (part.name == kFileField) return true;
  return false;
}

// "1" and "true" (any case) make a model private; anything else public.
bool privateValue(const std::string &text) {
  const std::string value = qx::common::lowercase(text);
  return value == "1" || value == "true";
}

// Whether a name holds nothing that makes it unsafe to show or store: no
// backslash (a separator elsewhere), no control character, and valid
// UTF-8.
bool plainText(const std::string &name) {
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f || c == '\\') return false;
  return validUtf8(name);
}

// `name` as it may be shown in an answer: backslashes, control characters
// and (in a name that is not valid UTF-8) bytes past ASCII as \xHH.
std::string escapedName(const std::string &name) {
  const bool utf8 = validUtf8(name);
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '\\' || (!utf8 && c >= 0x80)) {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// An owner or model name as a directory name: a safe component that is
// not hidden (hidden names are the publisher's work in progress) and
// plain text.
bool validName(const std::string &name) {
  return safeComponent(name) && name[0] != '.' && plainText(name);
}

// The components of a relative file name, each safe; nullopt for a name
// that is empty, absolute, would climb out of the model's directory, or
// holds a backslash, a control character or bytes that are not UTF-8.
std::optional<std::vector<std::string>> fileComponents(const std::string &name) {
  if (!plainText(name)) return std::nullopt;
  std::vector<std::string> components;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = name.find('/', start);
    const std::string component = name.substr(start, slash - start);
    if (!safeComponent(component)) return std::nullopt;
    components.push_back(component);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return components;
}

std::string joined(const std::vector<std::string> &components, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += (i == 0 ? "" : "/") + components[i];
  return text;
}

// The model.config that a metadata.pbtxt describes; nullopt when the record
// names no SDF file.
std::optional<std::string> configFromPbtxt(const std::string &pbtxt) {
  qx::msgs::QuarnMetadata metadata;
  google::protobuf::TextFormat::ParseFromString(pbtxt, &metadata);
  std::string config;
  if (!qx::quarn_tools::modelConfigFromMetadata(metadata, config)) return std::nullopt;
  return config;
}

// The content of a spooled part, when it is short enough to read.
std::optional<std::string> spooledText(const WritePart &part) {
  if (part.size > kMaxMetadataBytes) return std::nullopt;
  return readWholeFile(part.spooled);
}

bool writeFile(const fs::path &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  return static_cast<bool>(out);
}

// Moves the spooled file `from` to `to` (copying it when the two lie on
// different file systems).
bool moveFile(const fs::path &from, const fs::path &to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  std::error_code ec;
  fs::copy_file(from, to, ec);
  return !ec;
}

// The highest number any entry of `dir` is named by (valid version or not),
// so a new version never takes the name of something already there.
unsigned int highestNumber(const fs::path &dir) {
  unsigned int highest = 0;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const unsigned int number = versionNumber(it->path().filename().string());
    if (number > highest) highest = number;
  }
  return highest;
}

// Whether anything (of any type, a dangling link too) has the name of the
// private mark in `resourceDir`.
bool marked(const fs::path &resourceDir) {
  struct stat info {};
  return ::lstat((resourceDir / kPrivateMarker).c_str(), &info) == 0;
}

// Marks the resource in `resourceDir` private (an entry of any type is a
// mark already), or removes the mark, whatever it is.
bool setPrivate(const fs::path &resourceDir, bool isPrivate) {
  const fs::path marker = resourceDir / kPrivateMarker;
  if (isPrivate) return marked(resourceDir) || writeFile(marker, "1\n");
  std::error_code ec;
  fs::remove_all(marker, ec);
  return !ec;
}

// Whether `name` is a work name ".WHAT-N".
bool workName(const std::string &name, const std::string &what) {
  const std::string prefix = "." + what + "-";
  if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size()) return false;
  for (std::size_t i = prefix.size(); i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

// The entries of `dir` (real directories only, when `directories`).
std::vector<fs::path> entriesOf(const fs::path &dir) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    found.push_back(it->path());
  return found;
}

bool realDirectory(const fs::path &path) {
  std::error_code ec;
  return fs::is_directory(fs::symlink_status(path, ec));
}

// Collects and checks the "file" parts of an upload: every name relative,
// confined and plain text, none twice, none also the directory of another.
// An upload without model.config gets one made from its metadata.pbtxt
// (`made` holds its text). An error reply when the files cannot make a
// model version.
template <typename File>
std::optional<Reply> collectFiles(const WriteRequest &request, std::vector<File> &files,
                                  std::string &made) {
  std::set<std::string> names;
  for (const WritePart &part : request.parts) {
    if (part.name != kFileField) continue;
    const std::optional<std::vector<std::string>> components = fileComponents(part.filename);
    if (!components) return errorReply(400, "Invalid file name [" + escapedName(part.filename) + "]");
    if (!names.insert(joined(*components, components->size())).second)
      return errorReply(400, "Duplicate file name [" + escapedName(part.filename) + "]");
    if (!part.file) return errorReply(400, "Invalid file name [" + escapedName(part.filename) + "]");
    files.push_back({*components, &part, nullptr});
  }
  for (const File &file : files) {
    for (std::size_t count = 1; count < file.components.size(); ++count) {
      if (names.count(joined(file.components, count)) > 0)
        return errorReply(400, "File name [" + joined(file.components, count) +
                                   "] is also a directory in the upload");
    }
  }
  if (names.count(kModelConfig) > 0) return std::nullopt;
  for (const File &file : files) {
    if (file.components.size() != 1 || file.components[0] != kMetadataPbtxt) continue;
    const std::optional<std::string> pbtxt = spooledText(*file.part);
    if (std::optional<std::string> config = pbtxt ? configFromPbtxt(*pbtxt) : std::nullopt) {
      made = *config;
      files.push_back({{kModelConfig}, nullptr, &made});
      return std::nullopt;
    }
  }
  return errorReply(400,
                    "A model version needs a model.config file, or a metadata.pbtxt "
                    "that names an SDF file");
}

}  // namespace

Publisher::Publisher(const Repository &repository, ArchiveStore *archives)
    : repository_(repository), archives_(archives) {}

bool Publisher::Handles(const std::string &method, const Route &route) {
  const bool model = route.kind == Kind::kModel;
  if (method == "POST") return route.type == Route::kListing && model && route.owner.empty();
  if (method == "PATCH") return route.type == Route::kDetails && model;
  if (method == "DELETE") return route.type == Route::kDetails;
  return false;
}

Reply Publisher::Answer(const WriteRequest &request) {
  if (request.method != "DELETE" && !request.multipart)
    return errorReply(400, "Expected a multipart form");
  const Route route = parseRoute(request.route);
  std::lock_guard<std::mutex> lock(mutex_);
  if (request.method == "POST") return Upload(request);
  if (request.method == "PATCH") return Patch(route, request);
  return Delete(route);
}

Reply Publisher::Upload(const WriteRequest &request) {
  const std::string owner = textField(request, "owner").value_or("");
  const std::string name = textField(request, "name").value_or("");
  // Whose API key a request carries is not known here, so the owner must
  // be named.
  if (owner.empty()) return errorReply(400, "owner required");
  if (name.empty()) return errorReply(400, "name required");
  if (!validName(owner)) return errorReply(400, "Invalid owner [" + escapedName(owner) + "]");
  if (!validName(name)) return errorReply(400, "Invalid name [" + escapedName(name) + "]");

  std::vector<File> files;
  std::string made;
  if (std::optional<Reply> refused = collectFiles(request, files, made)) return *refused;

  std::optional<fs::path> resourceDir = ChildDirectory(repository_.Root(), owner);
  if (resourceDir) resourceDir = ChildDirectory(*resourceDir, kindWord(Kind::kModel));
  if (resourceDir) resourceDir = ChildDirectory(*resourceDir, name);
  if (!resourceDir)
    return errorReply(409, "Unable to store the model [" + owner + "/models/" + name + "]");

  const std::optional<std::string> flag = textField(request, "private");
  if (std::optional<Reply> failed =
          StoreVersion(*resourceDir, files, flag && privateValue(*flag)))
    return *failed;
  if (std::optional<Reply> failed = SetFlag(request, *resourceDir)) return *failed;
  return Document(Kind::kModel, resourceDir->parent_path().parent_path().filename().string(),
                  resourceDir->filename().string());
}

Reply Publisher::Patch(const Route &route, const WriteRequest &request) {
  const std::optional<Resource> resource = repository_.Find(Kind::kModel, route.owner, route.name);
  if (!resource) return errorReply(404, "Not found: " + request.route);
  if (hasFileParts(request)) {
    std::vector<File> files;
    std::string made;
    if (std::optional<Reply> refused = collectFiles(request, files, made)) return *refused;
    const std::optional<std::string> flag = textField(request, "private");
    if (std::optional<Reply> failed =
            StoreVersion(resource->path, files, flag && privateValue(*flag)))
      return *failed;
  }
  if (std::optional<Reply> failed = SetFlag(request, resource->path)) return *failed;
  return Document(Kind::kModel, resource->owner, resource->name);
}

std::optional<Reply> Publisher::SetFlag(const WriteRequest &request, const fs::path &resourceDir) {
  const std::optional<std::string> flag = textField(request, "private");
  if (flag && !setPrivate(resourceDir, privateValue(*flag)))
    return errorReply(500, "Unable to store the private flag");
  return std::nullopt;
}

Reply Publisher::Delete(const Route &route) {
  const std::string what = route.owner + "/" + kindWord(route.kind) + "/" + route.name;
  const std::optional<Resource> resource = repository_.Find(route.kind, route.owner, route.name);
  if (!resource) return errorReply(404, "Not found: " + what);
  // Out of sight first (the owner's directory lists no such kind), then gone.
  const fs::path aside = Aside(resource->path.parent_path().parent_path(), kDeleteWork);
  std::error_code ec;
  fs::rename(resource->path, aside, ec);
  fs::remove_all(ec ? resource->path : aside, ec);
  if (ec) {
    qxerr << "Unable to delete [" << resource->path.string() << "]: " << ec.message();
    return errorReply(500, "Unable to delete " + what);
  }
  if (archives_) archives_->Remove(*resource);
  return makeReply(200, "Deleted " + what + "\n", "text/plain");
}

std::optional<Reply> Publisher::StoreVersion(const fs::path &resourceDir,
                                             const std::vector<File> &files, bool makePrivate) {
  const unsigned int highest = highestNumber(resourceDir);
  if (highest >= static_cast<unsigned int>(INT_MAX))
    return errorReply(409, "No version number left for [" + resourceDir.string() + "]");
  const fs::path staging = Aside(resourceDir, kUploadWork);
  std::error_code ec;
  const auto abandon = [&](const std::string &why, const std::string &answer) {
    qxerr << why;
    fs::remove_all(staging, ec);
    return errorReply(500, answer);
  };
  for (const File &file : files) {
    fs::path target = staging;
    for (const std::string &component : file.components) target /= component;
    fs::create_directories(target.parent_path(), ec);
    const bool stored = !ec && (file.part ? moveFile(file.part->spooled, target)
                                          : writeFile(target, *file.text));
    if (!stored) {
      return abandon("Unable to write [" + target.string() + "]",
                     "Unable to store file [" + joined(file.components, file.components.size()) + "]");
    }
  }
  // A private version is never seen before its mark.
  const bool markedBefore = marked(resourceDir);
  if (makePrivate && !setPrivate(resourceDir, true))
    return abandon("Unable to mark [" + resourceDir.string() + "] private",
                   "Unable to store the private flag");
  fs::rename(staging, resourceDir / std::to_string(highest + 1), ec);
  if (ec) {
    const std::string why = ec.message();
    if (makePrivate && !markedBefore) setPrivate(resourceDir, false);
    return abandon("Unable to store version " + std::to_string(highest + 1) + " in [" +
                       resourceDir.string() + "]: " + why,
                   "Unable to store the new version");
  }
  return std::nullopt;
}

std::optional<fs::path> Publisher::ChildDirectory(const fs::path &parent,
                                                  const std::string &name) const {
  if (std::optional<fs::path> existing = repository_.Child(parent, name)) {
    std::error_code ec;
    if (fs::is_directory(*existing, ec)) return existing;
    return std::nullopt;
  }
  std::error_code ec;
  const fs::path made = parent / name;
  fs::create_directory(made, ec);
  if (ec || !repository_.Inside(made)) return std::nullopt;
  return made;
}

Reply Publisher::Document(Kind kind, const std::string &owner, const std::string &name) const {
  const std::optional<Resource> resource = repository_.Find(kind, owner, name);
  if (!resource) return errorReply(500, "The stored resource cannot be read back");
  return makeReply(
      200, jsonText(resourceDocument(repository_, *resource, repository_.Versions(*resource))),
      "application/json");
}

fs::path Publisher::Aside(const fs::path &dir, const std::string &name) {
  fs::path path;
  std::error_code ec;
  do {
    path = dir / ("." + name + "-" + std::to_string(++asideCount_));
  } while (fs::exists(fs::symlink_status(path, ec)));
  return path;
}

void Publisher::Sweep() {
  const fs::path work = repository_.Root() / kWorkDirectory;
  if (::mkdir(work.c_str(), 0700) != 0 && errno != EEXIST) return;
  if (workLock_ < 0) workLock_ = ::open((work / kWorkLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (workLock_ < 0 || ::flock(workLock_, LOCK_EX | LOCK_NB) != 0) {
    qxwarn << "Another server takes writes into [" << repository_.Root().string()
           << "]: its work in progress is left alone";
    return;
  }
  std::error_code ec;
  std::size_t swept = 0;
  for (const fs::path &entry : entriesOf(work)) {
    if (entry.filename() == kWorkLock) continue;
    swept += fs::remove_all(entry, ec) > 0 ? 1 : 0;
  }
  for (const fs::path &owner : entriesOf(repository_.Root())) {
    if (!realDirectory(owner) || owner.filename().string()[0] == '.') continue;
    for (const fs::path &entry : entriesOf(owner)) {
      const std::string name = entry.filename().string();
      if (workName(name, kDeleteWork) && realDirectory(entry)) {
        swept += fs::remove_all(entry, ec) > 0 ? 1 : 0;
        continue;
      }
      if (name != kindWord(Kind::kModel) && name != kindWord(Kind::kWorld)) continue;
      if (!realDirectory(entry)) continue;
      for (const fs::path &resource : entriesOf(entry)) {
        if (!realDirectory(resource)) continue;
        for (const fs::path &inner : entriesOf(resource)) {
          if (workName(inner.filename().string(), kUploadWork) && realDirectory(inner))
            swept += fs::remove_all(inner, ec) > 0 ? 1 : 0;
        }
      }
    }
  }
  if (swept > 0) qxmsg << "Removed " << swept << " pieces of work a stopped server left in [" << repository_.Root().string() << "]";
}

Publisher::~Publisher() {
  if (workLock_ >= 0) ::close(workLock_);
}

}  // namespace qx::quarn_server
