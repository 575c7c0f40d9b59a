/*
 * Scripted faults: the scripts tests add to a server, and how one changes a
 * reply. A ScriptBook is thread-safe.
 */
#ifndef QX_QUARN_SERVER_SCRIPTS_HH_
#define QX_QUARN_SERVER_SCRIPTS_HH_

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Reply.hh"
#include "qx/quarn_server/RepositoryServer.hh"

namespace qx::quarn_server {

class ScriptBook {
 public:
  int Add(const ResponseScript &script);
  void Remove(int id);
  void Clear();
  // The first script, in the order added, that matches the request and has
  // uses left; taking it uses it once.
  std::optional<ResponseScript> Take(const std::string &method, const std::string &route,
                                     const std::string &query);

 private:
  struct Entry {
    int id;
    ResponseScript script;
    int used;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  int nextId_ = 1;
};

// Whether `script` applies to a request.
bool scriptMatches(const ResponseScript &script, const std::string &method,
                   const std::string &route, const std::string &query);

// Whether `script` sets the answer's status (or makes it a referral), so
// that a write it matches is not carried out.
bool decidesAnswer(const ResponseScript &script);

// `reply` changed as `script` says (see ResponseScript for the order).
void applyScript(const ResponseScript &script, Reply &reply);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_SCRIPTS_HH_
