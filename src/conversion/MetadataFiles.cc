#include "MetadataFiles.hh"

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "FileIo.hh"
#include "WorkCounters.hh"
#include "qx/quarn_tools/ModelConfig.hh"

namespace qx::quarn_tools::internal {

namespace {

// Parse errors go to the log, as one warning line each.
class LoggedErrors : public google::protobuf::io::ErrorCollector {
 public:
  explicit LoggedErrors(const std::string &source) : source_(source) {}

  void AddError(int line, google::protobuf::io::ColumnNumber column,
                const std::string &message) override {
    qxwarn << "Unable to parse [" << source_ << "] at line " << line + 1 << ", column "
           << column + 1 << ": " << message << "\n";
  }

 private:
  const std::string &source_;
};

}  // namespace

bool ParseMetadataText(const std::string &text, const std::string &source,
                       qx::msgs::QuarnMetadata &metadata) {
  LoggedErrors errors(source);
  google::protobuf::TextFormat::Parser parser;
  parser.RecordErrorsTo(&errors);
  return parser.ParseFromString(text, &metadata);
}

std::string PbtxtPath(const std::string &directory) {
  return qx::common::joinPaths(directory, "metadata.pbtxt");
}

std::string ModelConfigPath(const std::string &directory) {
  return qx::common::joinPaths(directory, "model.config");
}

MetadataSource MetadataFromTexts(const MetadataTexts &texts, const std::string &directory,
                                 qx::msgs::QuarnMetadata &metadata) {
  if (texts.pbtxt) {
    ParseMetadataText(*texts.pbtxt, PbtxtPath(directory), metadata);
    return MetadataSource::kPbtxt;
  }
  if (texts.modelConfig) {
    return metadataFromModelConfig(*texts.modelConfig, metadata) ? MetadataSource::kModelConfig
                                                                 : MetadataSource::kBadModelConfig;
  }
  return MetadataSource::kNone;
}

MetadataSource ReadResourceMetadata(const std::string &directory,
                                    qx::msgs::QuarnMetadata &metadata) {
  MetadataTexts texts;
  std::string content;
  if (qx::common::exists(PbtxtPath(directory))) {
    countMetadataPbtxtRead();
    ReadWholeFile(PbtxtPath(directory), content);
    texts.pbtxt = content;
  } else if (qx::common::exists(ModelConfigPath(directory))) {
    countModelConfigRead();
    ReadWholeFile(ModelConfigPath(directory), content);
    texts.modelConfig = content;
  }
  return MetadataFromTexts(texts, directory, metadata);
}

}  // namespace qx::quarn_tools::internal
