#include "ModelPreparation.hh"

#include <cerrno>
#include <qx/common/Console.hh>

#include "CacheNames.hh"
#include "FailureNotes.hh"
#include "SdfRewrite.hh"
#include "WorkCounters.hh"

namespace qx::quarn_tools::internal::cache {
namespace {

// Metadata files larger than this are not read.
constexpr std::size_t kMaxMetadataBytes = std::size_t{1} << 30;

// The file `name` of `tree`: its text, nothing when it is not there, or
// false with `error` when it is there but cannot be read.
bool readMetadataFile(const Directory &tree, const char *name, std::optional<std::string> &text,
                      int &error) {
  std::string content;
  error = ReadFileAt(tree, name, kMaxMetadataBytes, content);
  if (error == ENOENT) return true;
  if (error != 0) return false;
  text = std::move(content);
  return true;
}

}  // namespace

bool PrepareModelVersion(const ModelIdentifier &id, const Directory &tree,
                         const std::string &versionDirectory, FileSystem &fileSystem,
                         std::vector<std::string> &changed, ModelMetadata &metadata) {
  MetadataTexts texts;
  int error = 0;
  countModelConfigRead();
  if (!readMetadataFile(tree, kModelConfigFile, texts.modelConfig, error)) {
    qxerr << "Unable to load model.config file[" << versionDirectory << "/" << kModelConfigFile
          << "]: " << ErrorText(error) << "; nothing was saved\n";
    NoteArchiveFailure(versionDirectory,
                       "the archive's model.config cannot be read (" + ErrorText(error) + ")");
    return false;
  }
  if (!texts.modelConfig) {
    qxerr << "model.config file does not exist in [" << versionDirectory << ".\n";
    qxerr << "Refusing the archive of model [" << id.UniqueName() << "] version " << id.VersionStr()
          << ": it holds no model.config at its top; nothing was saved\n";
    NoteArchiveFailure(versionDirectory, "the archive holds no model.config at its top");
    return false;
  }
  if (!readMetadataFile(tree, kMetadataFile, texts.pbtxt, error)) texts.pbtxt = "";
  if (texts.pbtxt) countMetadataPbtxtRead();
  metadata.source = MetadataFromTexts(texts, versionDirectory, metadata.record);

  const RewrittenSdf rewritten =
      RewriteModelSdf(id, tree, fileSystem, versionDirectory, &*texts.modelConfig);
  if (rewritten.outcome == RewrittenSdf::Outcome::kRewritten) changed.push_back(rewritten.file);
  return rewritten.outcome != RewrittenSdf::Outcome::kFailed;
}

}  // namespace qx::quarn_tools::internal::cache
