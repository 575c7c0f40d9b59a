/*
 * Reading the repository server's JSON documents in tests.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_SERVERDOCUMENTS_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_SERVERDOCUMENTS_HH_

#include <json/json.h>

#include <string>
#include <vector>

namespace qx::test {

// The parsed document; a failed parse is a test failure (and a null value).
Json::Value ParseJson(const std::string &text);

// "owner/name" of every document of a listing body, in order.
std::vector<std::string> ListedNames(const std::string &body);

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_SERVERDOCUMENTS_HH_
