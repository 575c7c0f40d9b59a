/*
 * The JSON documents the server answers with: one per model or world, built
 * from the newest version's metadata.pbtxt or model.config. Pure functions of
 * the directory's content; safe on any thread.
 */
#ifndef QX_QUARN_SERVER_DOCUMENTS_HH_
#define QX_QUARN_SERVER_DOCUMENTS_HH_

#include <filesystem>
#include <string>
#include <vector>

#include <json/value.h>

#include "Repository.hh"
#include "qx/msgs/quarn_metadata.pb.h"

namespace qx::quarn_server {

// The record of a version directory: its metadata.pbtxt when present (what
// parses of it), else its model.config converted; an empty record when
// neither is there or the conversion fails (with a warning line).
qx::msgs::QuarnMetadata readMetadata(const Repository &repository, const VersionDir &version);

// The document of a resource with at least one version: "name" and "owner"
// (directory names), "version" (newest), "description" and "tags" (from the
// newest version's record), "createdAt" and "updatedAt" (modification times
// of the oldest and newest version directories, as "YYYY-MM-DDTHH:MM:SS.000Z"
// in UTC), "filesize" (bytes of the newest version's files), "likes" and
// "downloads" (0), and, when the record names a licence, "license_name" with
// "license_url" and "license_image" taken from licenses.json when it has them.
Json::Value resourceDocument(const Repository &repository, const Resource &resource,
                             const std::vector<VersionDir> &versions);

// `value` as compact JSON text.
std::string jsonText(const Json::Value &value);

// "YYYY-MM-DDTHH:MM:SS.000Z" for `time` in UTC.
std::string isoTime(std::time_t time);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_DOCUMENTS_HH_
