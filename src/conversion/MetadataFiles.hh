/*
 * The metadata record of a resource directory: its metadata.pbtxt when
 * there is one, else its model.config converted. One rule, whoever read
 * the files: by path here, or through an open directory (the save reads a
 * version it is about to publish). Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_METADATAFILES_HH_
#define QX_QUARN_TOOLS_SRC_METADATAFILES_HH_

#include <optional>
#include <string>

#include "qx/msgs/quarn_metadata.pb.h"

namespace qx::quarn_tools::internal {

enum class MetadataSource {
  kNone,             // neither file exists
  kPbtxt,            // read from metadata.pbtxt (a parse failure is not an error)
  kModelConfig,      // converted from model.config
  kBadModelConfig,   // model.config exists but does not convert
};

// The two files of a resource directory as read; a file that is not there
// (or was not read) is nothing.
struct MetadataTexts {
  std::optional<std::string> pbtxt;
  std::optional<std::string> modelConfig;
};

// Parses metadata text into `metadata`. What does not parse is logged as a
// warning naming `source` (never written by protobuf itself), and the
// record keeps what the parse filled in: a metadata.pbtxt that does not
// parse is no error. False when the text did not parse whole.
bool ParseMetadataText(const std::string &text, const std::string &source,
                       qx::msgs::QuarnMetadata &metadata);

// The paths of the two files in `directory`.
std::string PbtxtPath(const std::string &directory);
std::string ModelConfigPath(const std::string &directory);

// Fills `metadata` from the texts of the files of `directory` (which names
// them in log lines): metadata.pbtxt when there is one, else model.config.
MetadataSource MetadataFromTexts(const MetadataTexts &texts, const std::string &directory,
                                 qx::msgs::QuarnMetadata &metadata);

// Reads the first of metadata.pbtxt and model.config that exists in
// `directory` (only that one), and fills `metadata` from it.
MetadataSource ReadResourceMetadata(const std::string &directory,
                                    qx::msgs::QuarnMetadata &metadata);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_METADATAFILES_HH_
