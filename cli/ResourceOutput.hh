/*
 * What quarn download and quarn fetch print of the library's outcomes:
 * the local path, or its JSON record, on standard output; why not on
 * standard error (each a status to return).
 */
#ifndef QX_QUARN_CLI_RESOURCEOUTPUT_HH_
#define QX_QUARN_CLI_RESOURCEOUTPUT_HH_

#include <string>
#include <vector>

#include <qx/quarn_tools/DownloadOutcome.hh>

namespace qx::quarn_cli {

// A model, world or file delivered: its path, or its JSON record (a world
// asked with its includes lists theirs).
void printResource(const qx::quarn_tools::DownloadOutcome &outcome, bool json, bool includes);
// A world delivered while models it includes failed: why each failed on
// standard error, then the world as for a success. The failure status.
int reportIncludes(const qx::quarn_tools::DownloadOutcome &world, bool json);
// Why a request by `url` failed, on standard error; with `json`, also its
// record with the error on standard output. The failure status.
int reportFailure(const qx::quarn_tools::DownloadOutcome &outcome, const std::string &url,
                  bool json);
// Several URLs fetched at once: one line per URL on standard output, in
// order, the path or an empty line for a URL that failed (why on standard
// error); with `json`, an array of their records. Failed when any failed.
int printFetched(const std::vector<qx::quarn_tools::DownloadOutcome> &outcomes,
                 const std::vector<std::string> &urls, bool json, bool includes);
// A collection's download: the path (or record) of every member, every
// failure on standard error. Failed when any failed.
int printCollection(const qx::quarn_tools::DownloadOutcome &outcome, const std::string &url,
                    bool json);

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_RESOURCEOUTPUT_HH_
