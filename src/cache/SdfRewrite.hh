/*
 * Points the "model://" references of a model's main SDF file at the files
 * of that model version on its server: meshes of collisions and visuals,
 * material scripts and PBR maps, actor skins and animations. The main SDF
 * file is the one model.config names with the highest version. Problems are
 * logged and leave the file as it was; only a failed write fails the
 * rewrite. Internal; any thread, for different directories.
 */
#ifndef QX_QUARN_TOOLS_SRC_SDFREWRITE_HH_
#define QX_QUARN_TOOLS_SRC_SDFREWRITE_HH_

#include <optional>
#include <string>

#include "FileSystem.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"

namespace qx::quarn_tools::internal {

// What became of a rewrite: the file replaced ("/"-separated, below the
// directory), nothing to rewrite (a problem with what the model holds, logged),
// or a failed write (logged): then the version must not be published.
struct RewrittenSdf {
  enum class Outcome { kRewritten, kSkipped, kFailed };
  Outcome outcome = Outcome::kSkipped;
  std::string file;
};

// Rewrites the main SDF file of the model unpacked in the open `directory`
// for version `id` (server, owner, name, version). Files are reached below
// the directory one component at a time, never through a symbolic link: a
// main SDF file that is a link is refused. The file is replaced whole
// (written aside, then renamed), never written in place. Log lines name
// paths below `shownDirectory` (the version directory that a staging
// directory becomes), or below the directory's own path when it is empty.
// With `modelConfig`, the text of the directory's model.config as the
// caller read it, which is then not read again.
RewrittenSdf RewriteModelSdf(const ModelIdentifier &id, const Directory &directory,
                             FileSystem &fileSystem, const std::string &shownDirectory = "",
                             const std::string *modelConfig = nullptr);
// The same for the directory at `directory`.
RewrittenSdf RewriteModelSdf(const ModelIdentifier &id, const std::string &directory,
                             FileSystem &fileSystem, const std::string &shownDirectory = "");

// The text a "model://NAME/PATH" reference becomes in version `id`: the
// server URL, "/", API version, "/", owner, "/models/", id's name, "/",
// version, "/files", PATH. Nothing for a text that does not begin with
// "model://" (it stays as it is), nor (having logged why) for one that
// names no file. `sdfPath` only names the file in log lines.
std::optional<std::string> ReferenceInVersion(const ModelIdentifier &id, const std::string &text,
                                              const std::string &sdfPath);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_SDFREWRITE_HH_
