/*
 * Fetching resources on demand: a simulator hands over a model, world or
 * file URL and gets the local path, downloading what is not cached yet; and
 * the main SDF file of a resource directory. Safe on any thread as far as the
 * given client is (fetchResource builds a private client per call).
 */
#ifndef QX_QUARN_TOOLS_RESOURCEFETCHING_HH_
#define QX_QUARN_TOOLS_RESOURCEFETCHING_HH_

#include <cstddef>
#include <string>
#include <vector>

#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/QuarnClient.hh"

namespace qx::quarn_tools {

// The local path of the model, world or file a URL names, downloaded with a
// default client when it is not cached. Empty on failure.
QX_QUARN_TOOLS_VISIBLE std::string fetchResource(const std::string &url);

// The same with the caller's client (cheaper for many URLs).
QX_QUARN_TOOLS_VISIBLE std::string fetchResourceWithClient(const std::string &url,
                                                           QuarnClient &client);

// Many URLs at once, as a simulator loading a world resolves its models:
// one path per URL, in the order given (empty for a URL that failed), each
// from the cache when it is there, the rest downloaded `jobs` at a time
// (0 counts as 1), a resource asked twice downloaded once. With a default
// client; the second form with the caller's. ResourceRequests::
// FetchResources gives the reason of each failure.
QX_QUARN_TOOLS_VISIBLE std::vector<std::string> fetchResources(const std::vector<std::string> &urls,
                                                               std::size_t jobs = 8);
QX_QUARN_TOOLS_VISIBLE std::vector<std::string> fetchResourcesWithClient(
    const std::vector<std::string> &urls, QuarnClient &client, std::size_t jobs = 8);

// The main SDF file of the resource in `directory`: the file its
// metadata.pbtxt (or else model.config) names, or else the first file whose
// name ends in ".sdf". Empty when there is none, or when the metadata names
// a file outside the directory.
QX_QUARN_TOOLS_VISIBLE std::string sdfFromPath(const std::string &directory);

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_RESOURCEFETCHING_HH_
