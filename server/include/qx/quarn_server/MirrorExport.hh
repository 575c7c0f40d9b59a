/*
 * A static mirror of a repository directory, for a stock web server: every
 * answer of the repository's read routes (listing pages, details, licences,
 * collections, archives and the files of each version) written as files
 * below OUT/site, and an nginx configuration that maps the routes, queries
 * and headers of the protocol onto them (OUT/nginx.conf, or the two
 * includes OUT/quarn-http.conf and OUT/quarn-server.conf for a site of
 * one's own). Uploads, edits and deletions stay with RepositoryServer.
 *
 * Names of owners, resources and collections are exported in lower case,
 * the spelling the client sends for resources; owners and collections,
 * which it sends as the user wrote them, nginx finds in any letter case
 * (a new one in other spellings than lower case once nginx reloads). Private resources are left out: a static
 * mirror checks no keys. Exports are incremental (a version whose files did
 * not change is left alone, a document that did not change is not
 * rewritten, what the repository no longer holds goes) and atomic per
 * version and per document, so nginx may serve OUT while it is updated. One
 * export at a time per output directory; safe to call from any thread.
 */
#ifndef QX_QUARN_SERVER_MIRROREXPORT_HH_
#define QX_QUARN_SERVER_MIRROREXPORT_HH_

#include <cstddef>
#include <string>

namespace qx::quarn_server {

struct MirrorOptions {
  // The API version segment in front of every route.
  std::string apiVersion = "1.0";
  // Entries per listing page (at least 1), as the repository server's.
  std::size_t pageSize = 20;
  // The address and port the generated nginx.conf listens on: PORT,
  // HOST:PORT or [IPv6]:PORT.
  std::string listen = "127.0.0.1:8080";
  // A certificate (PEM, the chain after the server's own) and its key:
  // with both, nginx.conf serves HTTPS on that address, offering HTTP/2.
  std::string tlsCertificate;
  std::string tlsKey;
};

// What an export did.
struct MirrorSummary {
  std::size_t versionsWritten = 0;  // versions new or changed since the last export
  std::size_t versionsKept = 0;     // versions left as they were
  std::size_t documentsWritten = 0; // listing pages, details and licences that changed
  std::size_t removed = 0;          // entries of the last export that are gone
};

// Exports the repository directory `root` into `out` (made when missing).
// False, with error lines in the log and the previous export still whole,
// when `root` is no directory, `out` is a directory that holds anything but
// an earlier export, one of the two lies inside the other, the listen
// address is none (PORT, HOST:PORT, [IPv6]:PORT), or only one of the
// certificate and key is given, or one that is no readable file. False too when something
// cannot be read or written: then what failed keeps what the previous
// export wrote of it, and the rest is brought up to date (what the
// repository no longer holds goes all the same).
bool exportMirror(const std::string &root, const std::string &out, const MirrorOptions &options,
                  MirrorSummary *summary = nullptr);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_MIRROREXPORT_HH_
