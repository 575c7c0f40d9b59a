// Changing a server: uploading a model directory, editing a model, deleting
// a model or world, and the licence list that uploads need.
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "ClientUploads.hh"
#include "MetadataFiles.hh"
#include "Routes.hh"
#include "ServerRequest.hh"
#include "qx/quarn_tools/JSONParser.hh"

namespace qx::quarn_tools::internal {

namespace {

using Form = std::multimap<std::string, std::string>;

// The transport reads a form value that begins with "@" as the name of a
// local file to send.
constexpr char kFileMarker = '@';
// ... and cuts a file value at its first ";" into path and announced name.
constexpr char kFileNameSeparator = ';';

// Deeper model directories are not walked.
constexpr int kMaxDirectoryDepth = 64;

// Adds a text field. A text that begins with "@" would make the transport
// read and send the local file it names, so it is refused.
bool AddTextField(Form &form, const std::string &name, const std::string &value) {
  if (!value.empty() && value.front() == kFileMarker) {
    qxerr << "Unable to upload the field [" << name << "]: its value [" << value
          << "] begins with '@', which would send a local file instead.\n";
    return false;
  }
  form.emplace(name, value);
  return true;
}

// `text` as a JSON string: quoted, with quotes, backslashes and control
// characters escaped.
std::string JsonQuoted(const std::string &text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// The "metadata" field of one annotation: {"key":"K","value":"V"}.
std::string AnnotationField(const std::string &key, const std::string &value) {
  return "{\"key\":" + JsonQuoted(key) + ",\"value\":" + JsonQuoted(value) + "}";
}

// Every tag followed by a comma.
std::string TagsField(const qx::msgs::QuarnMetadata &metadata) {
  std::string tags;
  for (const std::string &tag : metadata.tags()) tags += tag + ",";
  return tags;
}

// The first and second category, joined by ", " when both are given.
std::string CategoriesField(const qx::msgs::QuarnMetadata::Categories &categories) {
  if (categories.first().empty()) return categories.second();
  if (categories.second().empty()) return categories.first();
  return categories.first() + ", " + categories.second();
}

// Reads the record of a model directory, with the lines a failure needs.
bool ReadModelRecord(const std::string &directory, qx::msgs::QuarnMetadata &metadata) {
  if (qx::common::exists(PbtxtPath(directory))) {
    qxdbg << "Parsing " << PbtxtPath(directory);
  } else if (qx::common::exists(ModelConfigPath(directory))) {
    qxdbg << "Parsing " << ModelConfigPath(directory);
  }
  switch (ReadResourceMetadata(directory, metadata)) {
    case MetadataSource::kNone:
      qxerr << "Provided model directory[" << directory
            << "] needs a metadata.pbtxt or a model.config file.";
      return false;
    case MetadataSource::kBadModelConfig:
      qxerr << "Unable to convert model config[" << directory << "].\n";
      return false;
    default: return true;
  }
}

// Adds a "file" field for the file `path`, announced by its path relative
// to the model directory.
bool AddFileField(Form &form, const std::string &path, const std::string &relative) {
  if (path.find(kFileNameSeparator) != std::string::npos) {
    qxerr << "Unable to upload the file [" << path << "]: the ';' in its path would cut it "
          << "short.\n";
    return false;
  }
  form.emplace("file", std::string(1, kFileMarker) + path + kFileNameSeparator + relative);
  return true;
}

// Walks one directory, depth first in name order, adding every item that is
// not a directory. `visited` holds the real paths of the directories on the
// walk, so a symbolic link that leads back into it is not followed again.
bool AddFileFields(Form &form, const std::string &directory, const std::string &prefix, int depth,
                   std::set<std::string> &visited) {
  std::error_code ec;
  const std::string real = std::filesystem::canonical(directory, ec).string();
  if (ec) {
    qxwarn << "Not uploading directory [" << directory << "]: " << ec.message() << "\n";
    return true;
  }
  if (depth > kMaxDirectoryDepth || !visited.insert(real).second) {
    qxwarn << "Not uploading directory [" << directory
           << "]: it leads back into the model or is nested too deep.\n";
    return true;
  }
  for (qx::common::DirIter it(directory), end; it != end; ++it) {
    const std::string path = *it;
    const std::string name = qx::common::basename(path);
    const std::string relative = prefix.empty() ? name : prefix + "/" + name;
    const bool ok = qx::common::isDirectory(path)
                        ? AddFileFields(form, path, relative, depth + 1, visited)
                        : AddFileField(form, path, relative);
    if (!ok) return false;
  }
  visited.erase(real);
  return true;
}

// One line per licence name, in name order, each indented by four spaces;
// no line end after the last.
std::string KnownLicences(const std::map<std::string, unsigned int> &licenses) {
  std::string lines;
  for (const auto &entry : licenses) lines += (lines.empty() ? "    " : "\n    ") + entry.first;
  return lines;
}

// Logs why the server refused an upload.
void LogUploadFailure(const ServerConfig &server, const Form &form, int status) {
  const auto categories = form.find("categories");
  qxerr << "Failed to upload model.\n"
        << "  Server: " << server.Url().Str() << "\n"
        << "  Server API Version: " << server.Version() << "\n"
        << "  Route: /models\n"
        << "  Categories: " << (categories == form.end() ? "" : categories->second) << "\n"
        << "  REST response code: " << status << "\n"
        << "\n"
        << "Suggestions\n"
        << "  1. Is the Server URL correct? Try entering it on a browser.\n"
        << "  2. Do the categories exist? If you are using the Quarn server,\n"
        << "     then you can get the complete list at\n"
        << "     " << kDefaultServerUrl << "/1.0/categories.\n"
        << "  3. If the owner is specified, make sure you have correct\n"
        << "     permissions.\n";
}

// What a deletion is about: a model or a world, its route and server.
struct DeleteTarget {
  std::string kind;
  std::string route;
  std::string uniqueName;
  ServerConfig server;
};

}  // namespace

ClientUploads::ClientUploads(const ClientConfig &config, const Rest &rest, const ResourceUrls &urls,
                             std::map<std::string, unsigned int> licenses)
    : config_(config), rest_(rest), urls_(urls), licenses_(std::move(licenses)) {}

bool ClientUploads::FillModelForm(const std::string &directory, const ModelIdentifier &id,
                                       bool isPrivate, const std::string &owner, Form &form) {
  if (!qx::common::exists(directory)) {
    qxerr << "The model path[" << directory << "] doesn't exist.\n";
    return false;
  }
  qx::msgs::QuarnMetadata metadata;
  if (!ReadModelRecord(directory, metadata)) return false;

  if (!AddTextField(form, "name", metadata.name()) ||
      !AddTextField(form, "description", metadata.description()))
    return false;
  form.emplace("private", isPrivate ? "1" : "0");
  if (!owner.empty() && !AddTextField(form, "owner", owner)) return false;

  if (metadata.has_legal()) {
    if (licenses_.empty()) PopulateLicenses(id.Server());
    if (licenses_.empty()) return false;
    const std::string &name = metadata.legal().license();
    const auto licence = licenses_.find(name);
    if (licence == licenses_.end()) {
      qxerr << "Invalid license[" << name << "].\n"
            << "  Valid licenses include:\n"
            << KnownLicences(licenses_);
      return false;
    }
    form.emplace("license", std::to_string(licence->second));
  } else {
    form.emplace("license", "1");
  }

  if (metadata.tags_size() > 0 && !AddTextField(form, "tags", TagsField(metadata))) return false;
  if (metadata.has_categories()) {
    const std::string categories = CategoriesField(metadata.categories());
    if (!categories.empty() && !AddTextField(form, "categories", categories)) return false;
  }
  // In key order, so the same directory always gives the same form.
  const std::map<std::string, std::string> annotations(metadata.annotations().begin(),
                                                       metadata.annotations().end());
  for (const auto &[key, value] : annotations)
    form.emplace("metadata", AnnotationField(key, value));

  std::set<std::string> visited;
  return AddFileFields(form, directory, "", 0, visited);
}

Result ClientUploads::UploadModel(const std::string &pathToModelDir, const ModelIdentifier &id,
                                       const std::vector<std::string> &headers, bool isPrivate,
                                       const std::string &owner) {
  if (RefusedOffline(config_, "not uploading [" + pathToModelDir + "]"))
    return Result(UPLOAD_FAILED);
  Form form;
  if (!FillModelForm(pathToModelDir, id, isPrivate, owner, form)) return Result(UPLOAD_FAILED);
  const ServerConfig &server = id.Server();
  const RestResponse response =
      SendToServer(Rest(), HttpMethod::POST_FORM, server, routes::kUpload, {},
                             HeadersWithApiKey(server, headers), "", form);
  if (response.statusCode == 200) return ResultOf(UPLOAD_DONE, server, routes::kUpload, response);
  LogUploadFailure(server, form, response.statusCode);
  return ResultOf(UPLOAD_FAILED, server, routes::kUpload, response);
}

Result ClientUploads::PatchModel(const ModelIdentifier &model,
                                      const std::vector<std::string> &headers,
                                      const std::string &pathToModelDir) {
  if (model.Owner().empty() || model.Name().empty()) {
    qxerr << "Unable to patch model [" << model.UniqueName()
          << "]: its owner and name are both needed.\n";
    return Result(PATCH_FAILED);
  }
  if (RefusedOffline(config_, "not editing [" + model.UniqueName() + "]"))
    return Result(PATCH_FAILED);
  Form form;
  if (!pathToModelDir.empty() &&
      !FillModelForm(pathToModelDir, model, model.Private(), model.Owner(), form))
    return Result(UPLOAD_FAILED);
  form.emplace("private", model.Private() ? "1" : "0");

  const ServerConfig &server = model.Server();
  const std::string route = routes::Resource(model.Owner(), kModelsKind, model.Name());
  const RestResponse response =
      SendToServer(Rest(), HttpMethod::PATCH_FORM, server, route, {},
                             HeadersWithApiKey(server, headers), "", form);
  return ResultOf(response.statusCode == 200 ? PATCH_DONE : PATCH_FAILED, server, route,
                            response);
}

Result ClientUploads::DeleteUrl(const qx::common::URI &uri,
                                     const std::vector<std::string> &headers) {
  DeleteTarget target;
  ModelIdentifier model;
  WorldIdentifier world;
  if (urls_.ParseModelUrl(uri, model)) {
    target = {"model", routes::Resource(model.Owner(), kModelsKind, model.Name()),
              model.UniqueName(), model.Server()};
  } else if (urls_.ParseWorldUrl(uri, world)) {
    target = {"world", routes::Resource(world.Owner(), kWorldsKind, world.Name()),
              world.UniqueName(), world.Server()};
  } else {
    qxerr << "Unable to parse URI[" << uri.Str() << "]\n";
    return Result(DELETE_FAILED);
  }
  if (RefusedOffline(config_, "not deleting [" + target.uniqueName + "]"))
    return Result(DELETE_FAILED);

  const RestResponse response =
      SendToServer(Rest(), HttpMethod::DELETE, target.server, target.route, {},
                             HeadersWithApiKey(target.server, headers));
  if (response.statusCode == 200) {
    qxmsg << "Deleted " << target.kind << " [" << target.uniqueName << "]";
    return ResultOf(DELETE_DONE, target.server, target.route, response);
  }
  qxerr << "Failed to delete resource.\n"
        << "  Server: " << target.server.Url().Str() << "\n"
        << "  API Version: " << target.server.Version() << "\n"
        << "  Route: " << target.route << "\n"
        << "  REST response code: " << response.statusCode << "\n";
  return ResultOf(DELETE_FAILED, target.server, target.route, response);
}

void ClientUploads::PopulateLicenses(const ServerConfig &server) {
  if (RefusedOffline(config_, "not fetching the licences of " + server.Url().Str()))
    return;
  const RestResponse response =
      SendToServer(rest_, HttpMethod::GET, server, routes::kLicenses, {}, {});
  if (response.statusCode != 200) {
    qxerr << "Failed to get license information from " << server.Url().Str() << "/"
          << server.Version();
    return;
  }
  if (!JSONParser::ParseLicenses(response.data, licenses_))
    qxerr << "Failed to parse license information[" << response.data << "]\n";
}

}  // namespace qx::quarn_tools::internal
