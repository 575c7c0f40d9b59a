#include "OutcomeObjects.hh"

#include <filesystem>
#include <system_error>

#include <qx/common/URI.hh>
#include <qx/quarn_tools/CommandText.hh>
#include <qx/quarn_tools/Result.hh>
#include <qx/quarn_tools/ServerConfig.hh>

namespace qx::quarn_python {

namespace {

using qx::quarn_tools::DownloadFailure;
using qx::quarn_tools::DownloadOutcome;
using qx::quarn_tools::FailureReason;
using qx::quarn_tools::ResourceKind;

// Owned by the module's state; lives until the interpreter ends.
py::object &errorFactory() {
  static py::object *factory = new py::object();
  return *factory;
}

const char *kindWord(ResourceKind kind) {
  switch (kind) {
    case ResourceKind::kModel:
      return "model";
    case ResourceKind::kWorld:
      return "world";
    case ResourceKind::kModelFile:
      return "model-file";
    case ResourceKind::kWorldFile:
      return "world-file";
    case ResourceKind::kCollection:
      return "collection";
    case ResourceKind::kUnknown:
      break;
  }
  return "unknown";
}

// The URL of the resource delivered, with its version: what identifies it.
std::string resourceUrlOf(const DownloadOutcome &outcome) {
  if (outcome.name.empty() || outcome.server.empty()) return "";
  const char *kind = outcome.kind == ResourceKind::kModel || outcome.kind == ResourceKind::kModelFile
                         ? "models"
                     : outcome.kind == ResourceKind::kCollection ? "collections"
                                                                  : "worlds";
  qx::quarn_tools::ServerConfig server;
  server.SetUrl(qx::common::URI(outcome.server, true));
  if (!outcome.apiVersion.empty()) server.SetVersion(outcome.apiVersion);
  const std::string url = qx::quarn_tools::resourceUrl(server, outcome.owner, kind, outcome.name);
  return outcome.version == 0 ? url : url + "/" + std::to_string(outcome.version);
}

py::list outcomeList(const std::vector<DownloadOutcome> &outcomes, const DiskSizes &sizes) {
  py::list list;
  for (const DownloadOutcome &outcome : outcomes) list.append(outcomeObject(outcome, sizes));
  return list;
}

std::uint64_t bytesBelow(const std::string &path) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::is_regular_file(fs::symlink_status(path, error))) return fs::file_size(path, error);
  std::uint64_t total = 0;
  for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file(error) && !it->is_symlink(error)) total += it->file_size(error);
  }
  return total;
}

void measure(const DownloadOutcome &outcome, DiskSizes &sizes) {
  if (!outcome.path.empty() && sizes.count(outcome.path) == 0)
    sizes[outcome.path] = bytesBelow(outcome.path);
  for (const DownloadOutcome &dependency : outcome.dependencies) measure(dependency, sizes);
  for (const DownloadOutcome &member : outcome.members) measure(member, sizes);
  for (const DownloadOutcome &model : outcome.includes) measure(model, sizes);
}

}  // namespace

void setErrorFactory(py::object factory) { errorFactory() = std::move(factory); }

DownloadFailure failureOf(const DownloadFailure &failure, const qx::quarn_tools::Result &result) {
  DownloadFailure named = failure;
  // A failure that says nothing still says that it failed.
  if (named.reason == FailureReason::kNone) named.reason = FailureReason::kOther;
  if (named.text.empty()) named.text = result.ReadableResult();
  return named;
}

py::object failureObject(const DownloadFailure &failure, const std::string &url) {
  py::dict parts;
  parts["reason"] = qx::quarn_tools::failureReasonName(failure.reason);
  parts["text"] = failure.text;
  parts["url"] = url;
  parts["server"] = failure.server;
  parts["resource"] = failure.resource;
  parts["status"] = failure.status;
  parts["server_text"] = failure.serverText;
  parts["path"] = failure.path;
  parts["detail"] = failure.detail;
  if (!errorFactory()) return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(failure.text);
  return errorFactory()(parts);
}

void raiseFailure(const DownloadFailure &failure, const std::string &url) {
  const py::object error =
      failureObject(failureOf(failure, qx::quarn_tools::Result(qx::quarn_tools::FETCH_FAILED)), url);
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

void raiseFailure(FailureReason reason, const std::string &text, const std::string &url) {
  DownloadFailure failure;
  failure.reason = reason;
  failure.text = text;
  raiseFailure(failure, url);
}

DiskSizes diskSizes(const DownloadOutcome &outcome) {
  DiskSizes sizes;
  measure(outcome, sizes);
  return sizes;
}

py::dict outcomeObject(const DownloadOutcome &outcome, const DiskSizes &sizes) {
  py::dict record;
  record["kind"] = kindWord(outcome.kind);
  record["url"] = outcome.url;
  record["server"] = outcome.server;
  record["owner"] = outcome.owner;
  record["name"] = outcome.name;
  record["version"] = outcome.version;
  record["path"] = outcome.path;
  record["resource_path"] = outcome.resourcePath;
  record["file"] = outcome.file;
  record["resource_url"] = resourceUrlOf(outcome);
  const auto size = sizes.find(outcome.path);
  record["size"] = size == sizes.end() ? 0 : size->second;
  record["from_cache"] = outcome.fromCache;
  record["bytes"] = outcome.bytes;
  record["ok"] = static_cast<bool>(outcome);
  record["error"] = static_cast<bool>(outcome)
                        ? py::none()
                        : failureObject(failureOf(outcome.failure, outcome.result), outcome.url);
  record["dependencies"] = outcomeList(outcome.dependencies, sizes);
  record["members"] = outcomeList(outcome.members, sizes);
  record["includes"] = outcomeList(outcome.includes, sizes);
  return record;
}

py::dict updateObject(const qx::quarn_tools::ResourceUpdate &update) {
  py::dict record;
  record["kind"] = update.kind == "worlds" ? "world" : "model";
  record["server"] = update.server.Url().Str();
  record["owner"] = update.owner;
  record["name"] = update.name;
  record["cached_version"] = update.cachedVersion;
  record["server_version"] = update.serverVersion;
  record["path"] = update.path;
  const qx::quarn_tools::ResultType type = update.result.Type();
  record["status"] = type == qx::quarn_tools::FETCH_CACHED ? "current"
                     : static_cast<bool>(update.result)    ? "updated"
                                                           : "failed";
  record["error"] = static_cast<bool>(update.result)
                        ? py::none()
                        : failureObject(failureOf(update.failure, update.result), "");
  return record;
}

}  // namespace qx::quarn_python
