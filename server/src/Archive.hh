/*
 * Download archives of version directories, written to files. Pure
 * functions of the directory's content; safe on any thread.
 */
#ifndef QX_QUARN_SERVER_ARCHIVE_HH_
#define QX_QUARN_SERVER_ARCHIVE_HH_

#include <filesystem>
#include <string>

#include "Repository.hh"

namespace qx::quarn_server {

// Writes a zip archive of `versionDir` to `target`, which must not exist,
// with entry names relative to the directory (so model.config sits at the
// archive's root): every directory entry first, then every file, each
// group in name order, with the entries' modification times (in UTC), so
// the same files always give the same bytes. The files are read from disk as the
// archive is written, never held in memory whole. False, with an error
// line and nothing left at `target`, when a file cannot be read or libzip
// fails.
bool writeArchive(const Repository &repository, const std::filesystem::path &versionDir,
                  const std::filesystem::path &target);

// A fingerprint of what the archive of `versionDir` is made of: the names,
// types, sizes, modes, modification times, inodes and change times of its
// entries (32 hexadecimal digits). The same files give the same
// fingerprint; a change to any of them gives another, even one that keeps
// a file's size and sets its modification time back.
std::string archiveFingerprint(const Repository &repository,
                               const std::filesystem::path &versionDir);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_ARCHIVE_HH_
