#include "qx/quarn_tools/JSONParser.hh"

#include <json/json.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <exception>
#include <limits>
#include <sstream>
#include <utility>

#include <qx/common/Console.hh>

namespace qx::quarn_tools {
namespace {

// Parses a body. Whether the parse succeeded is not looked at: a body that
// is not JSON leaves a null (or partly built) value for the shape checks.
Json::Value ParseText(const std::string &text) {
  Json::Value root;
  try {
    Json::CharReaderBuilder builder;
    std::istringstream in(text);
    std::string errors;
    Json::parseFromStream(builder, in, &root, &errors);
  } catch (const std::exception &) {
    // Nesting deeper than the reader allows: nothing usable.
    root = Json::Value();
  }
  return root;
}

void LogBadResponse(const std::exception &error) {
  qxerr << "Bad response from server" << ": [" << error.what() << "]" << "\n";
}

bool Fits(long long value) {
  return value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
}

// "YYYY-MM-DDThh:mm:ss[.fff]Z" read as UTC, in seconds since the epoch (the
// fraction dropped). A text that does not fit the pattern gives 0.
std::time_t ParseDateTime(const std::string &text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0;
  float seconds = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%fZ", &year, &month, &day, &hour, &minute,
                  &seconds) != 6) {
    return 0;
  }
  if (!std::isfinite(seconds) || !Fits(static_cast<long long>(year) - 1900) ||
      !Fits(static_cast<long long>(month) - 1) || std::fabs(seconds) > 1e9f) {
    return 0;
  }
  std::tm broken{};
  broken.tm_year = year - 1900;
  broken.tm_mon = month - 1;
  broken.tm_mday = day;
  broken.tm_hour = hour;
  broken.tm_min = minute;
  broken.tm_sec = static_cast<int>(seconds);
  broken.tm_isdst = -1;
  return timegm(&broken);
}

bool ReadLicense(const Json::Value &json, std::string &name, std::uint32_t &id) {
  if (!json.isObject()) {
    qxerr << "License isn't a json object!\n";
    return false;
  }
  try {
    if (json.isMember("name")) name = json["name"].asString();
    if (json.isMember("ID")) id = json["ID"].asUInt();
  } catch (const std::exception &error) {
    LogBadResponse(error);
    return false;
  }
  return true;
}

// The listing walk shared by models and worlds: elements up to the first
// one that cannot be read, each with its server set.
template <typename Identifier, typename ReadOne>
std::vector<Identifier> ParseListing(const std::string &json, const ServerConfig &server,
                                     ReadOne readOne, const char *rejectedLine) {
  std::vector<Identifier> result;
  const Json::Value root = ParseText(json);
  if (!root.isArray()) {
    qxerr << "JSON response is not an array\n";
    return result;
  }
  for (const Json::Value &element : root) {
    Identifier id;
    if (!readOne(element, id)) {
      qxerr << rejectedLine;
      break;
    }
    id.SetServer(server);
    result.push_back(std::move(id));
  }
  return result;
}

std::string WriteJson(const Json::Value &value) {
  try {
    Json::StreamWriterBuilder builder;
    return Json::writeString(builder, value);
  } catch (const std::exception &error) {
    qxerr << "Unable to write JSON: " << error.what();
    return std::string();
  }
}

}  // namespace

bool JSONParser::ParseModelImpl(const Json::Value &json, ModelIdentifier &model) {
  if (!json.isObject()) {
    qxerr << "Model isn't a json object!\n";
    return false;
  }
  try {
    if (json.isMember("name")) model.SetName(json["name"].asString());
    if (json.isMember("owner")) model.SetOwner(json["owner"].asString());
    if (json.isMember("updatedAt")) {
      model.SetModifyDate(ParseDateTime(json["updatedAt"].asString()));
    }
    if (json.isMember("createdAt")) {
      model.SetUploadDate(ParseDateTime(json["createdAt"].asString()));
    }
    if (json.isMember("description")) model.SetDescription(json["description"].asString());
    if (json.isMember("likes")) model.SetLikeCount(json["likes"].asUInt());
    if (json.isMember("downloads")) model.SetDownloadCount(json["downloads"].asUInt());
    if (json.isMember("filesize")) model.SetFileSize(json["filesize"].asUInt());
    if (json.isMember("license_name")) model.SetLicenseName(json["license_name"].asString());
    if (json.isMember("license_url")) model.SetLicenseUrl(json["license_url"].asString());
    if (json.isMember("license_image")) {
      model.SetLicenseImageUrl(json["license_image"].asString());
    }
    if (json.isMember("tags")) model.SetTags(ParseTags(json["tags"]));
    if (json.isMember("version")) model.SetVersion(json["version"].asUInt());
  } catch (const std::exception &error) {
    LogBadResponse(error);
    return false;
  }
  return true;
}

bool JSONParser::ParseWorldImpl(const Json::Value &json, WorldIdentifier &world) {
  if (!json.isObject()) {
    qxerr << "World isn't a json object!\n";
    return false;
  }
  try {
    if (json.isMember("name")) world.SetName(json["name"].asString());
    if (json.isMember("owner")) world.SetOwner(json["owner"].asString());
    if (json.isMember("version")) world.SetVersion(json["version"].asUInt());
  } catch (const std::exception &error) {
    LogBadResponse(error);
    return false;
  }
  return true;
}

ModelIdentifier JSONParser::ParseModel(const std::string &json, const ServerConfig &server) {
  ModelIdentifier model;
  ParseModelImpl(ParseText(json), model);
  model.SetServer(server);
  return model;
}

WorldIdentifier JSONParser::ParseWorld(const std::string &json, const ServerConfig &server) {
  WorldIdentifier world;
  ParseWorldImpl(ParseText(json), world);
  world.SetServer(server);
  return world;
}

std::vector<ModelIdentifier> JSONParser::ParseModels(const std::string &json,
                                                     const ServerConfig &server) {
  return ParseListing<ModelIdentifier>(json, server, &JSONParser::ParseModelImpl,
                                       "Model isn't a json object!\n");
}

std::vector<WorldIdentifier> JSONParser::ParseWorlds(const std::string &json,
                                                     const ServerConfig &server) {
  return ParseListing<WorldIdentifier>(json, server, &JSONParser::ParseWorldImpl,
                                       "World isn't a json object!\n");
}

bool JSONParser::ParseLicenses(const std::string &json,
                               std::map<std::string, std::uint32_t> &licenses) {
  const Json::Value root = ParseText(json);
  if (!root.isArray()) {
    qxerr << "JSON response is not an array.\n";
    return false;
  }
  for (const Json::Value &element : root) {
    std::string name;
    std::uint32_t id = 0;
    if (!ReadLicense(element, name, id)) {
      qxerr << "License isn't a json object!\n";
      continue;
    }
    licenses.emplace(std::move(name), id);
  }
  return true;
}

std::vector<std::string> JSONParser::ParseTags(const Json::Value &tags) {
  if (!tags.isArray()) {
    qxerr << "JSON tags are not an array\n";
    return {};
  }
  std::vector<std::string> result;
  try {
    for (const Json::Value &tag : tags) result.push_back(tag.asString());
  } catch (const std::exception &error) {
    qxerr << "Exception parsing tags" << ": [" << error.what() << "]" << "\n";
    return {};
  }
  return result;
}

std::string JSONParser::BuildModel(ModelIter modelIt) {
  const ModelIdentifier id = modelIt->Identification();
  Json::Value value(Json::objectValue);
  value["name"] = id.Name();
  value["description"] = id.Description();
  value["version"] = Json::UInt(id.Version());
  return WriteJson(value);
}

std::string JSONParser::BuildWorld(WorldIter worldIt) {
  Json::Value value(Json::objectValue);
  value["name"] = worldIt->Name();
  value["version"] = Json::UInt(worldIt->Version());
  return WriteJson(value);
}

}  // namespace qx::quarn_tools
