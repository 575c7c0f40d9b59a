/*
 * Reading the metadata record of a resource directory: its metadata.pbtxt
 * when there is one, else its model.config converted. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_METADATAFILES_HH_
#define QX_QUARN_TOOLS_SRC_METADATAFILES_HH_

#include <string>

#include "qx/msgs/quarn_metadata.pb.h"

namespace qx::quarn_tools::internal {

enum class MetadataSource {
  kNone,             // neither file exists
  kPbtxt,            // read from metadata.pbtxt (a parse failure is not an error)
  kModelConfig,      // converted from model.config
  kBadModelConfig,   // model.config exists but does not convert
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

// Fills `metadata` from the first of metadata.pbtxt and model.config that
// exists in `directory`.
MetadataSource ReadResourceMetadata(const std::string &directory,
                                    qx::msgs::QuarnMetadata &metadata);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_METADATAFILES_HH_
