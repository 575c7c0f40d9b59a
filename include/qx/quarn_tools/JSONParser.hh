/*
 * Turns the repository server's JSON documents (models, worlds, listings,
 * licences) into identifiers, and writes small JSON summaries. Stateless and
 * static; safe on any thread. Never throws: problems are logged at error
 * level and give an empty or partial result, or false.
 */
#ifndef QX_QUARN_TOOLS_JSONPARSER_HH_
#define QX_QUARN_TOOLS_JSONPARSER_HH_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/ModelIter.hh"
#include "qx/quarn_tools/ServerConfig.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"
#include "qx/quarn_tools/WorldIter.hh"

namespace Json {
class Value;
}  // namespace Json

namespace qx::quarn_tools {

class QX_QUARN_TOOLS_VISIBLE JSONParser {
 public:
  JSONParser() = delete;

  // One model document. Whatever could be read (possibly nothing), with the
  // server set to `server`.
  static ModelIdentifier ParseModel(const std::string &json, const ServerConfig &server);
  // A listing: the models up to the first element that cannot be read, each
  // with its server set. Empty when the body is not an array.
  static std::vector<ModelIdentifier> ParseModels(const std::string &json,
                                                  const ServerConfig &server);
  // Reads the model keys of `json` into `model`; false when `json` is no
  // object or a value has the wrong type (fields read before it stay).
  static bool ParseModelImpl(const Json::Value &json, ModelIdentifier &model);

  static WorldIdentifier ParseWorld(const std::string &json, const ServerConfig &server);
  static std::vector<WorldIdentifier> ParseWorlds(const std::string &json,
                                                  const ServerConfig &server);
  static bool ParseWorldImpl(const Json::Value &json, WorldIdentifier &world);

  // Adds name -> id for each readable licence whose name is not yet in
  // `licenses`. False (map untouched) when the body is not an array.
  static bool ParseLicenses(const std::string &json,
                            std::map<std::string, std::uint32_t> &licenses);

  // The tags of an array of strings; empty if any element is not text.
  static std::vector<std::string> ParseTags(const Json::Value &tags);

  // {"description", "name", "version"} of the model the iterator points at.
  static std::string BuildModel(ModelIter modelIt);
  // {"name", "version"} of the world the iterator points at.
  static std::string BuildWorld(WorldIter worldIt);
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_JSONPARSER_HH_
