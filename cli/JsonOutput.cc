#include "JsonOutput.hh"

#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>

#include <qx/common/URI.hh>
#include <qx/quarn_tools/CommandText.hh>

#include "Failure.hh"

namespace qx::quarn_cli {

namespace {

// The document with every text (and member name) made valid UTF-8: names
// and paths from servers may hold any bytes, and JSON carries only text.
Json::Value validText(const Json::Value &value) {
  if (value.isString()) return Json::Value(qx::quarn_tools::validUtf8(value.asString()));
  if (value.isArray()) {
    Json::Value array(Json::arrayValue);
    for (const Json::Value &item : value) array.append(validText(item));
    return array;
  }
  if (value.isObject()) {
    Json::Value object(Json::objectValue);
    for (const std::string &name : value.getMemberNames())
      object[qx::quarn_tools::validUtf8(name)] = validText(value[name]);
    return object;
  }
  return value;
}

}  // namespace

void printJson(const Json::Value &document) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  writer->write(validText(document), &std::cout);
  std::cout << std::endl;
}

bool parseJsonObject(const std::string &text, Json::Value &object) {
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  return reader->parse(text.data(), text.data() + text.size(), &object, &errors) &&
         object.isObject();
}

std::uint64_t diskSize(const std::string &path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (ec) return 0;
  if (fs::is_regular_file(status)) return fs::file_size(path, ec);
  if (!fs::is_directory(status)) return 0;
  std::uint64_t size = 0;
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) size += it->file_size(ec);
  }
  return size;
}

Json::Value resourceJson(const std::string &kind, const qx::quarn_tools::ServerConfig &server,
                         const std::string &owner, const std::string &name,
                         unsigned int version, const std::string &path) {
  Json::Value record;
  record["kind"] = kind == "worlds" ? "world" : "model";
  record["server"] = server.Url().Str();
  record["owner"] = owner;
  record["name"] = name;
  record["version"] = version;
  std::string url = qx::quarn_tools::resourceUrl(server, owner, kind, name);
  if (version != 0) url += "/" + std::to_string(version);
  record["url"] = url;
  if (!path.empty()) {
    record["path"] = path;
    record["size"] = Json::UInt64(diskSize(path));
  }
  return record;
}

Json::Value outcomeJson(const qx::quarn_tools::DownloadOutcome &outcome, const std::string &path) {
  using qx::quarn_tools::ResourceKind;
  qx::quarn_tools::ServerConfig server;
  server.SetUrl(qx::common::URI(outcome.server));
  server.SetVersion(outcome.apiVersion);
  const bool model =
      outcome.kind == ResourceKind::kModel || outcome.kind == ResourceKind::kModelFile;
  const bool missing = outcome.result.Type() == qx::quarn_tools::FETCH_MISSING;
  return resourceJson(model ? "models" : "worlds", server, outcome.owner, outcome.name,
                      missing ? 0 : outcome.version, path);
}

Json::Value outcomeTreeJson(const qx::quarn_tools::DownloadOutcome &outcome,
                            const std::string &path) {
  Json::Value record = outcomeJson(outcome, path);
  record["cached"] = outcome.fromCache;
  if (record["kind"].asString() != "model") return record;
  record["dependencies"] = Json::Value(Json::arrayValue);
  for (const qx::quarn_tools::DownloadOutcome &dependency : outcome.dependencies)
    record["dependencies"].append(outcomeJson(dependency, dependency.path));
  return record;
}

Json::Value includesJson(const std::vector<qx::quarn_tools::DownloadOutcome> &includes) {
  Json::Value records(Json::arrayValue);
  for (const qx::quarn_tools::DownloadOutcome &model : includes) {
    Json::Value record = outcomeTreeJson(model, model.path);
    // The URI as the world's SDF writes it.
    record["uri"] = model.url;
    if (!model) {
      record["error"] = failureText(model.failure, "Download of " + model.url);
      record["reason"] = qx::quarn_tools::failureReasonName(model.failure.reason);
    }
    records.append(record);
  }
  return records;
}

}  // namespace qx::quarn_cli
