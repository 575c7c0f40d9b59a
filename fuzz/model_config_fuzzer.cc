// libFuzzer target: metadataFromModelConfig on arbitrary text, and the
// writer on every record the reader accepts.
#include <iostream>
#include <sstream>
#include <string>

#include <qx/msgs/quarn_metadata.pb.h>

#include "qx/quarn_tools/ModelConfig.hh"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The functions explain failures on standard error; keep the run quiet.
  static std::ostringstream sink;
  std::cerr.rdbuf(sink.rdbuf());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  qx::msgs::QuarnMetadata meta;
  if (!qx::quarn_tools::metadataFromModelConfig(text, meta)) return 0;
  std::string config;
  if (!qx::quarn_tools::modelConfigFromMetadata(meta, config)) std::abort();
  qx::msgs::QuarnMetadata again;
  qx::quarn_tools::metadataFromModelConfig(config, again);
  return 0;
}
