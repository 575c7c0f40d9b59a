#include "support/EmptyRepository.hh"

#include "RestClientInternal.hh"

namespace qx::test {

using qx::quarn_server::RepositoryServer;

EmptyRepository::EmptyRepository(const RepositoryServer::Options &options)
    : server_(std::make_unique<InstrumentedServer>(directory_.Path(), options)) {
  started_ = server_->Start();
}

EmptyRepository::~EmptyRepository() {
  // Connections the client keeps would hold the server's workers until its
  // keep-alive time-out.
  qx::quarn_tools::internal::CloseIdleConnections();
  server_->Stop();
}

void EmptyRepository::Script(const std::vector<ResponseScript> &scripts) {
  for (const ResponseScript &script : scripts) server_->AddScript(script);
}

ResponseScript JsonAnswer(const std::string &route, const std::string &body, int status,
                          int times) {
  ResponseScript script;
  script.method = "";
  script.route = route;
  script.times = times;
  script.status = status;
  script.body = body;
  script.contentType = "application/json";
  return script;
}

ResponseScript RedirectAnswer(const std::string &route, const std::string &location,
                              int status) {
  ResponseScript script = JsonAnswer(route, "<html>moved</html>", status);
  script.contentType = "text/html";
  script.headers = {{"Location", location}};
  return script;
}

std::string TargetPath(const RequestRecord &record) {
  return record.target.substr(0, record.target.find('?'));
}

std::optional<std::string> TargetQuery(const RequestRecord &record) {
  const std::size_t mark = record.target.find('?');
  if (mark == std::string::npos) return std::nullopt;
  return record.target.substr(mark + 1);
}

}  // namespace qx::test
