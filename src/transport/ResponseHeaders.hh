/*
 * The header lines of every response of one exchange (redirects included),
 * one map per response, merged at its end. Internal to the transport; one
 * exchange, one thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_RESPONSEHEADERS_HH_
#define QX_QUARN_TOOLS_SRC_RESPONSEHEADERS_HH_

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qx::quarn_tools::internal {

class HeaderCollector {
 public:
  // One header line as the transport hands it: a status line opens the
  // header block of a new response, the empty line ends one.
  void Line(const std::string &line);

  // The final response's headers, plus the names only earlier responses
  // carried (the most recent of those wins).
  std::map<std::string, std::string> Merged() const;

  // A header of the latest response, found whatever the case of its name,
  // without its line end; nothing when it has none.
  std::optional<std::string> Latest(const std::string &name) const;

  void Clear() { responses_.clear(); }

 private:
  std::vector<std::map<std::string, std::string>> responses_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_RESPONSEHEADERS_HH_
