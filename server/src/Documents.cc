#include "Documents.hh"

#include <cstdint>
#include <limits>
#include <sstream>
#include <system_error>

#include <google/protobuf/text_format.h>
#include <json/json.h>

#include <qx/common/Console.hh>
#include <qx/quarn_tools/ModelConfig.hh>

namespace fs = std::filesystem;

namespace qx::quarn_server {
namespace {

// The licences.json element named `name`, or null.
Json::Value licenceEntry(const Repository &repository, const std::string &name) {
  const std::optional<std::string> text = repository.ReadFile(repository.Root() / "licenses.json");
  if (!text) return Json::Value();
  Json::Value licences;
  Json::CharReaderBuilder builder;
  std::istringstream in(*text);
  std::string errors;
  if (!Json::parseFromStream(builder, in, &licences, &errors) || !licences.isArray())
    return Json::Value();
  for (const Json::Value &licence : licences) {
    if (licence.isObject() && licence["name"].isString() && licence["name"].asString() == name)
      return licence;
  }
  return Json::Value();
}

void addLicence(const Repository &repository, const std::string &name, Json::Value &document) {
  document["license_name"] = name;
  const Json::Value entry = licenceEntry(repository, name);
  if (entry.isObject() && entry["url"].isString()) document["license_url"] = entry["url"];
  if (entry.isObject() && entry["image"].isString()) document["license_image"] = entry["image"];
}

// Bytes of the files below `dir`, at most the largest unsigned 32-bit number
// (the client reads "filesize" as one).
Json::UInt treeSize(const Repository &repository, const fs::path &dir) {
  std::uintmax_t total = 0;
  for (const struct stat &info : repository.Walk(dir).fileStatus)
    total += static_cast<std::uintmax_t>(info.st_size);
  const std::uintmax_t limit = std::numeric_limits<Json::UInt>::max();
  return static_cast<Json::UInt>(total < limit ? total : limit);
}

}  // namespace

qx::msgs::QuarnMetadata readMetadata(const Repository &repository, const VersionDir &version) {
  qx::msgs::QuarnMetadata metadata;
  if (auto text = repository.ReadFileIn(version.real, "metadata.pbtxt")) {
    if (!google::protobuf::TextFormat::ParseFromString(*text, &metadata))
      qxwarn << "Unable to parse all of [" << (version.path / "metadata.pbtxt").string() << "]";
  } else if (auto config = repository.ReadFileIn(version.real, "model.config")) {
    if (!qx::quarn_tools::metadataFromModelConfig(*config, metadata))
      qxwarn << "Unable to read [" << (version.path / "model.config").string() << "]";
  }
  return metadata;
}

Json::Value resourceDocument(const Repository &repository, const Resource &resource,
                             const std::vector<VersionDir> &versions) {
  const VersionDir &newest = versions.back();
  const qx::msgs::QuarnMetadata metadata = readMetadata(repository, newest);
  Json::Value document(Json::objectValue);
  document["name"] = resource.name;
  document["owner"] = resource.owner;
  document["version"] = newest.number;
  document["description"] = metadata.description();
  document["createdAt"] = isoTime(modificationTime(versions.front().real));
  document["updatedAt"] = isoTime(modificationTime(newest.real));
  document["filesize"] = treeSize(repository, newest.real);
  document["likes"] = 0;
  document["downloads"] = 0;
  Json::Value tags(Json::arrayValue);
  for (const std::string &tag : metadata.tags()) tags.append(tag);
  document["tags"] = tags;
  if (!metadata.legal().license().empty())
    addLicence(repository, metadata.legal().license(), document);
  return document;
}

std::string jsonText(const Json::Value &value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

std::string isoTime(std::time_t time) {
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S.000Z", &parts);
  return text;
}

}  // namespace qx::quarn_server
