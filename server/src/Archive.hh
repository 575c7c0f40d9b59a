/*
 * Download archives, built in memory from a version directory. Pure
 * function of the directory's content; safe on any thread.
 */
#ifndef QX_QUARN_SERVER_ARCHIVE_HH_
#define QX_QUARN_SERVER_ARCHIVE_HH_

#include <filesystem>
#include <optional>
#include <string>

#include "Repository.hh"

namespace qx::quarn_server {

// A zip archive of `versionDir` whose entry names are relative to it (so
// model.config sits at the archive's root): every directory entry first, then
// every file, each group in name order, with the files' modification times,
// so the same content always gives the same bytes. nullopt, with an error
// line, when a file cannot be read or libzip fails.
std::optional<std::string> buildArchive(const Repository &repository,
                                        const std::filesystem::path &versionDir);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_ARCHIVE_HH_
