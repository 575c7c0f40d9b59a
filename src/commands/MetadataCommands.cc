// The version and verbosity commands, the conversions between model.config
// and the metadata text format, and the cache update.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <qx/common/Console.hh>

#include "CommandSupport.hh"
#include "FileIo.hh"
#include "MetadataFiles.hh"
#include "qx/msgs/quarn_metadata.pb.h"
#include "qx/quarn_tools/ModelConfig.hh"
#include "qx/quarn_tools/QuarnClient.hh"
#include "qx/quarn_tools/qx.hh"

namespace qx::quarn_tools {
namespace {

using command::required;
using command::truthy;

// The number at the start of the text as atoi reads it (non-numeric text
// gives 0), held to the int range instead of overflowing.
int verbosityNumber(const char *text) {
  const long number = std::strtol(text, nullptr, 10);
  if (number > INT_MAX) return INT_MAX;
  if (number < INT_MIN) return INT_MIN;
  return static_cast<int>(number);
}

// The whole file, or the empty text when it cannot be read.
std::string fileText(const std::string &path) {
  std::string content;
  if (!internal::ReadWholeFile(path, content)) content.clear();
  return content;
}

int modelConfigToPbtxt(const std::string &path) {
  qx::msgs::QuarnMetadata metadata;
  if (!metadataFromModelConfig(fileText(path), metadata)) {
    qxerr << "Unable to convert model config[" << path << "].\n";
    return 0;
  }
  std::cout << metadata.DebugString() << "\n";
  return 1;
}

int pbtxtToModelConfig(const std::string &path) {
  qx::msgs::QuarnMetadata metadata;
  internal::ParseMetadataText(fileText(path), path, metadata);
  std::string modelConfig;
  if (!modelConfigFromMetadata(metadata, modelConfig)) {
    std::cerr << "Unable to convert Quarn metadata to model.config\n";
    return 0;
  }
  std::cout << modelConfig << "\n";
  return 1;
}

int updateCache(const char *onlyModels, const char *onlyWorlds, const char *header) {
  const command::ExitOnInterrupt exitOnInterrupt;
  const bool modelsOnly = truthy(onlyModels);
  const bool worldsOnly = truthy(onlyWorlds);
  QuarnClient client(commandConfig(nullptr), Rest());
  const std::vector<std::string> headers = command::headerList(header);
  if (!worldsOnly && !client.UpdateModels(headers)) return 0;
  if (!modelsOnly && !client.UpdateWorlds(headers)) return 0;
  return 1;
}

}  // namespace
}  // namespace qx::quarn_tools

using namespace qx::quarn_tools;

extern "C" {

char *qxVersion(void) { return strdup(command::kVersion); }

void cmdVerbosity(const char *verbosity) {
  if (!required(verbosity, "cmdVerbosity", "verbosity text")) return;
  qx::common::Console::SetVerbosity(verbosityNumber(verbosity));
}

int config2Pbtxt(const char *path) {
  return command::guarded("config2Pbtxt", 0, [&] {
    return required(path, "config2Pbtxt", "path") ? modelConfigToPbtxt(path) : 0;
  });
}

int pbtxt2Config(const char *path) {
  return command::guarded("pbtxt2Config", 0, [&] {
    return required(path, "pbtxt2Config", "path") ? pbtxtToModelConfig(path) : 0;
  });
}

int update(const char *onlyModels, const char *onlyWorlds, const char *header) {
  return command::guarded("update", 0, [&] { return updateCache(onlyModels, onlyWorlds, header); });
}

}  // extern "C"
