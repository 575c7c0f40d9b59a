/*
 * The --json documents of quarn: one document per command on standard
 * output, and the record of one cached resource that several of them hold
 * (the shapes are described in the README); and reading the JSON object a
 * server answered.
 */
#ifndef QX_QUARN_CLI_JSONOUTPUT_HH_
#define QX_QUARN_CLI_JSONOUTPUT_HH_

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include <qx/quarn_tools/DownloadOutcome.hh>
#include <qx/quarn_tools/ServerConfig.hh>

namespace qx::quarn_cli {

// Writes the document, indented, and a line end to standard output.
void printJson(const Json::Value &document);

// Parses `text` as one JSON object; false for anything else.
bool parseJsonObject(const std::string &text, Json::Value &object);

// The bytes of the regular files at or below `path` (links not followed).
std::uint64_t diskSize(const std::string &path);

// {"kind", "server", "owner", "name", "version", "url"} of a resource;
// `kind` is "models" or "worlds" and becomes "model" or "world"; the URL
// names the version when it is not 0. With a path: "path" and its "size".
Json::Value resourceJson(const std::string &kind, const qx::quarn_tools::ServerConfig &server,
                         const std::string &owner, const std::string &name,
                         unsigned int version, const std::string &path = "");

// The record of the model or world an outcome names, at `path` (a model in
// neither the cache nor the download has no version).
Json::Value outcomeJson(const qx::quarn_tools::DownloadOutcome &outcome, const std::string &path);

// The same with "cached" and, for a model, "dependencies": the record of
// every model it needs.
Json::Value outcomeTreeJson(const qx::quarn_tools::DownloadOutcome &outcome,
                            const std::string &path);

// The records of the models a world includes (outcomeTreeJson), each with
// "error" and "reason" when it failed.
Json::Value includesJson(const std::vector<qx::quarn_tools::DownloadOutcome> &includes);

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_JSONOUTPUT_HH_
