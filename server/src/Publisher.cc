#include "Publisher.hh"

#include <climits>
#include <fstream>
#include <set>
#include <system_error>

#include <google/protobuf/text_format.h>

#include <qx/common/Console.hh>
#include <qx/common/Util.hh>
#include <qx/quarn_tools/ModelConfig.hh>

#include "Documents.hh"
#include "RouteTable.hh"

namespace fs = std::filesystem;

namespace qx::quarn_server {
namespace {

const char kModelConfig[] = "model.config";
const char kMetadataPbtxt[] = "metadata.pbtxt";
// The form field that carries a file; its file name is the path relative to
// the model directory.
const char kFileField[] = "file";

// The first text field (a part without file name) called `name`.
std::optional<std::string> textField(const WriteRequest &request, const std::string &name) {
  for (const WritePart &part : request.parts)
    if (part.name == name && part.filename.empty()) return part.content;
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

// An owner or model name as a directory name: a safe component that is
// not hidden (hidden names are the publisher's work in progress).
bool validName(const std::string &name) { return safeComponent(name) && name[0] != '.'; }

// The components of a relative file name, each safe; nullopt for a name
// that is empty, absolute, or would climb out of the model's directory.
std::optional<std::vector<std::string>> fileComponents(const std::string &name) {
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

bool writeFile(const fs::path &path, const std::string &content) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  return static_cast<bool>(out);
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

// Marks the resource in `resourceDir` private, or removes the mark.
bool setPrivate(const fs::path &resourceDir, bool isPrivate) {
  const fs::path marker = resourceDir / kPrivateMarker;
  if (isPrivate) return writeFile(marker, "1\n");
  std::error_code ec;
  fs::remove(marker, ec);
  return !ec;
}

// Collects and checks the "file" parts of an upload: every name relative
// and confined, none twice, none also the directory of another. An upload
// without model.config gets one made from its metadata.pbtxt (`made` holds
// its text). An error reply when the files cannot make a model version.
template <typename File>
std::optional<Reply> collectFiles(const WriteRequest &request, std::vector<File> &files,
                                  std::string &made) {
  std::set<std::string> names;
  for (const WritePart &part : request.parts) {
    if (part.name != kFileField) continue;
    const std::optional<std::vector<std::string>> components = fileComponents(part.filename);
    if (!components) return errorReply(400, "Invalid file name [" + part.filename + "]");
    if (!names.insert(joined(*components, components->size())).second)
      return errorReply(400, "Duplicate file name [" + part.filename + "]");
    files.push_back({*components, &part.content});
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
    if (std::optional<std::string> config = configFromPbtxt(*file.content)) {
      made = *config;
      files.push_back({{kModelConfig}, &made});
      return std::nullopt;
    }
  }
  return errorReply(400,
                    "A model version needs a model.config file, or a metadata.pbtxt "
                    "that names an SDF file");
}

}  // namespace

Publisher::Publisher(const Repository &repository, std::string apiKey)
    : repository_(repository), apiKey_(std::move(apiKey)) {}

bool Publisher::Handles(const std::string &method, const Route &route) {
  const bool model = route.kind == Kind::kModel;
  if (method == "POST") return route.type == Route::kListing && model && route.owner.empty();
  if (method == "PATCH") return route.type == Route::kDetails && model;
  if (method == "DELETE") return route.type == Route::kDetails;
  return false;
}

Reply Publisher::Answer(const WriteRequest &request) {
  if (!apiKey_.empty() && request.apiKey != apiKey_)
    return errorReply(401, "Missing or wrong API key");
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
  if (!validName(owner)) return errorReply(400, "Invalid owner [" + owner + "]");
  if (!validName(name)) return errorReply(400, "Invalid name [" + name + "]");

  std::vector<File> files;
  std::string made;
  if (std::optional<Reply> refused = collectFiles(request, files, made)) return *refused;

  std::optional<fs::path> resourceDir = ChildDirectory(repository_.Root(), owner);
  if (resourceDir) resourceDir = ChildDirectory(*resourceDir, kindWord(Kind::kModel));
  if (resourceDir) resourceDir = ChildDirectory(*resourceDir, name);
  if (!resourceDir)
    return errorReply(409, "Unable to store the model [" + owner + "/models/" + name + "]");

  if (std::optional<Reply> failed = StoreVersion(*resourceDir, files)) return *failed;
  if (const auto flag = textField(request, "private")) {
    if (!setPrivate(*resourceDir, privateValue(*flag)))
      return errorReply(500, "Unable to store the private flag");
  }
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
    if (std::optional<Reply> failed = StoreVersion(resource->path, files)) return *failed;
  }
  if (const auto flag = textField(request, "private")) {
    if (!setPrivate(resource->path, privateValue(*flag)))
      return errorReply(500, "Unable to store the private flag");
  }
  return Document(Kind::kModel, resource->owner, resource->name);
}

Reply Publisher::Delete(const Route &route) {
  const std::string what = route.owner + "/" + kindWord(route.kind) + "/" + route.name;
  const std::optional<Resource> resource = repository_.Find(route.kind, route.owner, route.name);
  if (!resource) return errorReply(404, "Not found: " + what);
  // Out of sight first (the owner's directory lists no such kind), then gone.
  const fs::path aside = Aside(resource->path.parent_path().parent_path(), "deleted");
  std::error_code ec;
  fs::rename(resource->path, aside, ec);
  fs::remove_all(ec ? resource->path : aside, ec);
  if (ec) {
    qxerr << "Unable to delete [" << resource->path.string() << "]: " << ec.message();
    return errorReply(500, "Unable to delete " + what);
  }
  return makeReply(200, "Deleted " + what + "\n", "text/plain");
}

std::optional<Reply> Publisher::StoreVersion(const fs::path &resourceDir,
                                             const std::vector<File> &files) {
  const unsigned int highest = highestNumber(resourceDir);
  if (highest >= static_cast<unsigned int>(INT_MAX))
    return errorReply(409, "No version number left for [" + resourceDir.string() + "]");
  const fs::path staging = Aside(resourceDir, "upload");
  for (const File &file : files) {
    fs::path target = staging;
    for (const std::string &component : file.components) target /= component;
    if (!writeFile(target, *file.content)) {
      qxerr << "Unable to write [" << target.string() << "]";
      std::error_code ec;
      fs::remove_all(staging, ec);
      return errorReply(
          500, "Unable to store file [" + joined(file.components, file.components.size()) + "]");
    }
  }
  std::error_code ec;
  fs::rename(staging, resourceDir / std::to_string(highest + 1), ec);
  if (ec) {
    qxerr << "Unable to store version " << highest + 1 << " in [" << resourceDir.string()
          << "]: " << ec.message();
    fs::remove_all(staging, ec);
    return errorReply(500, "Unable to store the new version");
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

}  // namespace qx::quarn_server
