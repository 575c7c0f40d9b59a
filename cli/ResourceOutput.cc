// What quarn download and quarn fetch print of the library's records: the
// local path (or a JSON document) on standard output for what was made,
// why not on standard error; for several URLs one line (or record) each,
// in order; for a collection every member.
#include "ResourceOutput.hh"

#include <iostream>
#include <qx/common/Console.hh>
#include <qx/quarn_tools/CommandText.hh>
#include <string>
#include <vector>

#include "Commands.hh"
#include "Failure.hh"
#include "JsonOutput.hh"
#include "TerminalOutput.hh"

namespace qx::quarn_cli {

using qx::quarn_tools::DownloadOutcome;
using qx::quarn_tools::FailureReason;
using qx::quarn_tools::ResourceKind;

namespace {

// The JSON record of a model, world or file that was delivered; a world
// asked with its includes has theirs.
Json::Value resourceRecord(const DownloadOutcome &outcome, bool includes) {
  if (outcome.file.empty()) {
    Json::Value record = outcomeTreeJson(outcome, outcome.path);
    if (includes && outcome.kind == ResourceKind::kWorld)
      record["includes"] = includesJson(outcome.includes);
    return record;
  }
  // The file record: the resource's, pointing at the file.
  Json::Value record = outcomeTreeJson(outcome, outcome.resourcePath);
  record["resource_path"] = record["path"];
  record["file"] = outcome.file;
  record["path"] = outcome.path;
  record["size"] = Json::UInt64(diskSize(outcome.path));
  return record;
}

// Why a request by `url` failed, in lines for standard error.
std::vector<std::string> failureLines(const DownloadOutcome &outcome, const std::string &url) {
  std::vector<std::string> lines;
  if (outcome.failure.reason == FailureReason::kOffline) {
    for (const DownloadOutcome &dependency : outcome.dependencies) {
      if (dependency.result.Type() == qx::quarn_tools::FETCH_MISSING)
        lines.push_back("offline: dependency " + dependency.owner + "/" + dependency.name + " of " +
                        outcome.owner + "/" + outcome.name + " is not in the cache");
    }
    if (lines.empty()) lines.push_back("offline: " + url + " is not in the cache");
  } else if (outcome.failure.reason == FailureReason::kInvalidUrl) {
    lines.push_back("Invalid URL [" + qx::quarn_tools::printableText(url) +
                    "]: " + outcome.failure.text);
  } else if (!outcome.file.empty() && !outcome.resourcePath.empty()) {
    lines.push_back("The file [" + qx::quarn_tools::printableText(outcome.file) +
                    "] is not part of version " + std::to_string(outcome.version) + " of " +
                    outcome.owner + "/" + outcome.name + " (" + url + ")");
  } else {
    lines.push_back(failureText(outcome.failure, "Download of " + url));
  }
  return lines;
}

// The JSON record of a request by `url` that failed, with its error.
Json::Value failureRecord(const DownloadOutcome &outcome, const std::string &url,
                          const std::string &error) {
  Json::Value record = outcome.name.empty() ? Json::Value(Json::objectValue)
                                            : outcomeJson(outcome, "");
  if (outcome.name.empty()) record["url"] = url;
  record["error"] = error;
  record["reason"] = failureReasonName(outcome.failure.reason);
  return record;
}

// Why a collection's download failed before any member was downloaded.
int collectionFailure(const DownloadOutcome &outcome, const std::string &url) {
  if (outcome.failure.reason == FailureReason::kOffline)
    qxerr << outcome.failure.text;
  else if (!outcome.failure.resource.empty())
    qxerr << failureText(outcome.failure, "Listing collection " + url);
  else
    qxerr << "There are no items in collection [" << outcome.name << "] at " << url;
  return kFailure;
}

}  // namespace

// The result of a model, world or file: its path, or its JSON record.
void printResource(const DownloadOutcome &outcome, bool json, bool includes) {
  if (json)
    printJson(resourceRecord(outcome, includes));
  else
    std::cout << shownPath(outcome.path) << std::endl;
}

// A world that was delivered while models it includes failed: why each
// failed on standard error, then the world as for a success. The failure
// status.
int reportIncludes(const DownloadOutcome &world, bool json) {
  for (const DownloadOutcome &model : world.includes) {
    if (!model) qxerr << failureText(model.failure, "Download of " + model.url);
  }
  if (!json) {
    printResource(world, false, true);
    return kFailure;
  }
  Json::Value record = resourceRecord(world, true);
  record["error"] = failureText(world.failure, "Download of " + world.url);
  record["reason"] = failureReasonName(world.failure.reason);
  printJson(record);
  return kFailure;
}

// Why a request by `url` failed, on standard error; with `json`, also its
// record with the error on standard output. The failure status.
int reportFailure(const DownloadOutcome &outcome, const std::string &url, bool json) {
  const std::vector<std::string> lines = failureLines(outcome, url);
  for (const std::string &line : lines) qxerr << line;
  if (json && !outcome.name.empty()) printJson(failureRecord(outcome, url, lines.front()));
  return kFailure;
}

// Several URLs fetched at once: one line per URL on standard output, in
// order, the path or an empty line for a URL that failed (why on standard
// error); with `json`, an array of their records. Failed when any failed.
int printFetched(const std::vector<DownloadOutcome> &outcomes, const std::vector<std::string> &urls,
                 bool json, bool includes) {
  Json::Value document(Json::arrayValue);
  bool failed = false;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const DownloadOutcome &outcome = outcomes[i];
    if (outcome) {
      if (json) document.append(resourceRecord(outcome, includes));
      else std::cout << shownPath(outcome.path) << "\n";
      continue;
    }
    failed = true;
    const bool world = outcome.kind == ResourceKind::kWorld && !outcome.path.empty();
    std::vector<std::string> lines;
    if (world) {
      for (const DownloadOutcome &model : outcome.includes)
        if (!model) lines.push_back(failureText(model.failure, "Download of " + model.url));
    } else {
      lines = failureLines(outcome, urls[i]);
    }
    for (const std::string &line : lines) qxerr << line;
    if (json) {
      Json::Value record = world ? resourceRecord(outcome, includes)
                                 : failureRecord(outcome, urls[i], lines.front());
      record["error"] = world ? failureText(outcome.failure, "Download of " + urls[i])
                              : lines.front();
      record["reason"] = failureReasonName(outcome.failure.reason);
      document.append(record);
    } else {
      std::cout << (world ? shownPath(outcome.path) : std::string()) << "\n";
    }
  }
  if (json) printJson(document);
  std::cout.flush();
  return statusOf(!failed);
}

int printCollection(const DownloadOutcome &outcome, const std::string &url, bool json) {
  if (outcome.members.empty()) return collectionFailure(outcome, url);
  Json::Value document;
  document["kind"] = "collection";
  document["server"] = outcome.server;
  document["owner"] = outcome.owner;
  document["name"] = outcome.name;
  document["url"] = url;
  document["resources"] = Json::Value(Json::arrayValue);
  document["failed"] = Json::Value(Json::arrayValue);
  const auto failed = [&](const DownloadOutcome &one) {
    Json::Value failure = outcomeJson(one, "");
    failure["error"] = failureText(one.failure, "Download of " + failure["url"].asString());
    qxerr << failure["error"].asString();
    document["failed"].append(failure);
  };
  for (const DownloadOutcome &member : outcome.members) {
    if (member)
      document["resources"].append(outcomeTreeJson(member, member.path));
    else
      failed(member);
  }
  for (const DownloadOutcome &dependency : outcome.dependencies) {
    if (!dependency) failed(dependency);
  }
  if (json) {
    printJson(document);
  } else {
    for (const Json::Value &record : document["resources"])
      std::cout << shownPath(record["path"].asString()) << "\n";
    std::cout.flush();
  }
  return statusOf(static_cast<bool>(outcome));
}

}  // namespace qx::quarn_cli
