#include "MetadataFiles.hh"

#include <google/protobuf/text_format.h>

#include <qx/common/Filesystem.hh>

#include "FileIo.hh"
#include "qx/quarn_tools/ModelConfig.hh"

namespace qx::quarn_tools::internal {

std::string PbtxtPath(const std::string &directory) {
  return qx::common::joinPaths(directory, "metadata.pbtxt");
}

std::string ModelConfigPath(const std::string &directory) {
  return qx::common::joinPaths(directory, "model.config");
}

MetadataSource ReadResourceMetadata(const std::string &directory,
                                    qx::msgs::QuarnMetadata &metadata) {
  std::string content;
  if (qx::common::exists(PbtxtPath(directory))) {
    ReadWholeFile(PbtxtPath(directory), content);
    google::protobuf::TextFormat::ParseFromString(content, &metadata);
    return MetadataSource::kPbtxt;
  }
  if (qx::common::exists(ModelConfigPath(directory))) {
    ReadWholeFile(ModelConfigPath(directory), content);
    return metadataFromModelConfig(content, metadata) ? MetadataSource::kModelConfig
                                                      : MetadataSource::kBadModelConfig;
  }
  return MetadataSource::kNone;
}

}  // namespace qx::quarn_tools::internal
