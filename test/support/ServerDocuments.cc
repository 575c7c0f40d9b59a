#include "support/ServerDocuments.hh"

#include <gtest/gtest.h>

#include <sstream>

namespace qx::test {

Json::Value ParseJson(const std::string &text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::istringstream in(text);
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << text;
  return value;
}

std::vector<std::string> ListedNames(const std::string &body) {
  std::vector<std::string> names;
  for (const Json::Value &document : ParseJson(body))
    names.push_back(document["owner"].asString() + "/" + document["name"].asString());
  return names;
}

}  // namespace qx::test
