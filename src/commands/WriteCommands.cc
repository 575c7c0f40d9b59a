// upload, editUrl and deleteUrl: changing models on a server.
#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/SignalHandler.hh>

#include "CommandSupport.hh"
#include "qx/quarn_tools/QuarnClient.hh"
#include "qx/quarn_tools/qx.hh"

namespace qx::quarn_tools {
namespace {

using command::chatty;
using command::given;
using command::headerList;
using command::printIdentifier;
using command::truthy;

bool hasMetadataFile(const std::string &directory) {
  return qx::common::exists(qx::common::joinPaths(directory, "metadata.pbtxt")) ||
         qx::common::exists(qx::common::joinPaths(directory, "model.config"));
}

bool pathMissing(const std::string &path) {
  if (qx::common::exists(path)) return false;
  qxerr << "The model path[" << path << "] doesn't exist.\n";
  return true;
}

// Uploads every model directory directly inside `path`, going on after a
// failure. True when every one was uploaded and no signal stopped the walk.
bool uploadChildren(QuarnClient &client, const std::string &path, const ModelIdentifier &id,
                    const std::vector<std::string> &headers, bool isPrivate,
                    const std::string &owner, const std::atomic<bool> &stop) {
  bool all = true;
  for (qx::common::DirIter it(path), end; it != end; ++it) {
    const std::string child = *it;
    if (stop) {
      qxwarn << "Upload interrupted before [" << child << "]\n";
      return false;
    }
    if (!qx::common::isDirectory(child) || !hasMetadataFile(child)) continue;
    if (!client.UploadModel(child, id, headers, isPrivate, owner)) {
      qxerr << "Failed to upload model[" << child << "]\n";
      all = false;
    }
  }
  return all;
}

bool uploadPath(const char *path, const char *url, const char *header, const char *privateText,
                const char *owner) {
  std::atomic<bool> stop{false};
  qx::common::SignalHandler signals;
  signals.AddCallback([&stop](int) { stop = true; });

  QuarnClient client(commandConfig(nullptr), Rest());
  ModelIdentifier id;
  if (given(url)) id.Server().SetUrl(qx::common::URI(url, false));
  const std::vector<std::string> headers = headerList(header);
  const bool isPrivate = truthy(privateText);
  const std::string ownerText = owner == nullptr ? "" : owner;

  const std::string directory = path;
  if (pathMissing(directory)) return false;
  client.PopulateLicenses(id.Server());
  if (hasMetadataFile(directory)) {
    std::cout << "Uploading a model[" << directory << "]\n";
    return bool(client.UploadModel(directory, id, headers, isPrivate, ownerText));
  }
  return uploadChildren(client, directory, id, headers, isPrivate, ownerText, stop);
}

bool editModel(const char *url, const char *header, const char *privateText,
               const char *modelPath) {
  QuarnClient client(commandConfig(nullptr), Rest());
  const std::vector<std::string> headers = headerList(header);
  const bool privateGiven = given(privateText);
  const std::string directory = given(modelPath) ? modelPath : "";
  if (!directory.empty() && pathMissing(directory)) return false;
  // A patch always sends the private flag, and the server's details do not
  // tell the model's current one: guessing could publish a private model.
  if (!directory.empty() && !privateGiven) {
    qxerr << "Editing a model's files needs the private flag as well (true or false).\n";
    return false;
  }

  ModelIdentifier id;
  if (!client.ParseModelUrl(qx::common::URI(url, false), id)) {
    std::cout << "Invalid URL: only models can be edited right now.\n";
    return false;
  }
  if (chatty()) printIdentifier("Editing model: ", id.AsPrettyString("  "));

  ModelIdentifier details;
  if (!client.ModelDetails(id, details, headers)) {
    qxerr << "Failed to fetch model details for model[" << id.Name() << "]\n";
    return false;
  }
  if (!privateGiven) return true;
  details.SetPrivate(truthy(privateText));
  if (!client.PatchModel(details, headers, directory)) {
    qxerr << "Failed to patch model[" << id.Name() << "].\n";
    return false;
  }
  return true;
}

bool deleteResource(const char *url, const char *header) {
  QuarnClient client(commandConfig(nullptr), Rest());
  const qx::common::URI uri(url, false);
  if (chatty()) {
    ModelIdentifier model;
    WorldIdentifier world;
    if (client.ParseModelUrl(uri, model))
      printIdentifier("Deleting model: ", model.AsPrettyString("  "));
    else if (client.ParseWorldUrl(uri, world))
      printIdentifier("Deleting world: ", world.AsPrettyString("  "));
    else
      std::cout << "Invalid URL: only models and worlds can be delete so far.\n";
  }
  client.DeleteUrl(uri, headerList(header));
  return true;
}

}  // namespace
}  // namespace qx::quarn_tools

using namespace qx::quarn_tools;

extern "C" {

bool upload(const char *path, const char *url, const char *header, const char *privateText,
            const char *owner) {
  return command::guarded("upload", false, [&] {
    return command::required(path, "upload", "model path") &&
           uploadPath(path, url, header, privateText, owner);
  });
}

bool editUrl(const char *url, const char *header, const char *privateText,
             const char *modelPath) {
  return command::guarded("editUrl", false, [&] {
    return command::required(url, "editUrl", "URL text") &&
           editModel(url, header, privateText, modelPath);
  });
}

bool deleteUrl(const char *url, const char *header) {
  return command::guarded("deleteUrl", false, [&] {
    return command::required(url, "deleteUrl", "URL text") && deleteResource(url, header);
  });
}

}  // extern "C"
