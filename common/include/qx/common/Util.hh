/*
 * String and environment helpers. Pure functions; safe on any thread
 * (env reads the process environment, which callers do not change while
 * threads run).
 */
#ifndef QX_COMMON_UTIL_HH_
#define QX_COMMON_UTIL_HH_

#include <string>
#include <vector>

namespace qx::common {

// ASCII lower-cased copy. The pointer form treats nullptr as empty text.
std::string lowercase(const std::string &text);
std::string lowercase(const char *text);

// The non-empty pieces of `text` between occurrences of `delimiter`, in order.
// An empty delimiter gives the whole text as one piece.
std::vector<std::string> split(const std::string &text, const std::string &delimiter);

// A copy of `text` with every occurrence of `from` replaced by `to`, scanning
// left to right without re-examining replaced text. An empty `from` changes
// nothing.
std::string replaceAll(const std::string &text, const std::string &from,
                       const std::string &to);

// True and the value in `value` when the variable `name` is set. A variable
// set to the empty text counts as unset unless `allowEmpty` is true.
bool env(const std::string &name, std::string &value, bool allowEmpty = false);

}  // namespace qx::common

#endif  // QX_COMMON_UTIL_HH_
