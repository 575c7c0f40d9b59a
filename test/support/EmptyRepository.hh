/*
 * Our repository server over an empty directory, for transport tests that
 * script every answer they need: started on 127.0.0.1 and an ephemeral port
 * (HTTPS when the options name a certificate and key), stopped when the
 * object goes away. Plus builders of common scripts and readers of the
 * request log.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_EMPTYREPOSITORY_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_EMPTYREPOSITORY_HH_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <qx/quarn_server/RepositoryServer.hh>

#include "support/InstrumentedServer.hh"
#include "support/TestSupport.hh"

namespace qx::test {

class EmptyRepository {
 public:
  explicit EmptyRepository(const qx::quarn_server::RepositoryServer::Options &options = {});
  ~EmptyRepository();
  EmptyRepository(const EmptyRepository &) = delete;
  EmptyRepository &operator=(const EmptyRepository &) = delete;

  // Whether the server listens.
  bool Started() const { return started_; }
  InstrumentedServer &Server() { return *server_; }
  // "http://127.0.0.1:PORT" (or https).
  std::string Url() const { return server_->Url(); }
  // Adds the scripts in order: among scripts matching the same requests, the
  // earlier ones answer first until their uses run out.
  void Script(const std::vector<ResponseScript> &scripts);
  std::vector<RequestRecord> Requests() const { return server_->Requests(); }

 private:
  TempDir directory_;
  std::unique_ptr<InstrumentedServer> server_;
  bool started_ = false;
};

// Answers requests (any method) for the decoded `route` with `status` and
// `body` as "application/json", `times` times (0: every time).
ResponseScript JsonAnswer(const std::string &route, const std::string &body,
                                            int status = 200, int times = 0);

// Answers requests (any method) for `route` with a redirect (`status`) to
// `location` and a short "text/html" body.
ResponseScript RedirectAnswer(const std::string &route,
                                                const std::string &location, int status = 302);

// The path part of a request's target, still escaped.
std::string TargetPath(const RequestRecord &record);
// The text after the first "?" of a request's target; nullopt without "?".
std::optional<std::string> TargetQuery(const RequestRecord &record);

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_EMPTYREPOSITORY_HH_
