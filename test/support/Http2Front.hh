/*
 * nginx offering HTTPS with HTTP/2 (ALPN) in front of a server on
 * 127.0.0.1, passing every request on to it over HTTP/1.1 with bodies
 * streamed both ways: a scripted server's answers and faults reach an HTTP/2
 * client (a body cut short upstream becomes a reset stream). It logs the
 * client's side of each request: the connection it came on and the
 * protocol, which the server behind it cannot see. Started on an ephemeral
 * port by the constructor, stopped when the object goes away. Its
 * certificate is signed by a throw-away CA made once per test program.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_HTTP2FRONT_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_HTTP2FRONT_HH_

#include <cstddef>
#include <string>
#include <vector>

#include "support/NginxProcess.hh"
#include "support/TestSupport.hh"

namespace qx::test {

// One request as the front answered it.
struct FrontRequest {
  std::string connection;  // nginx's number of the client's connection
  int onConnection = 0;    // requests on that connection so far, this one included
  std::string protocol;    // "HTTP/2.0", "HTTP/1.1"
  std::string method;
  std::string target;      // as sent, still escaped
  int status = 0;
};

class Http2Front {
 public:
  struct Options {
    // Offer HTTP/2; without it, HTTPS with HTTP/1.1 only.
    bool http2 = true;
    // Requests one client connection carries before nginx ends it (a
    // GOAWAY on HTTP/2).
    int keepaliveRequests = 1000;
  };

  // In front of `upstream` ("http://127.0.0.1:PORT").
  explicit Http2Front(const std::string &upstream);
  Http2Front(const std::string &upstream, const Options &options);
  Http2Front(const Http2Front &) = delete;
  Http2Front &operator=(const Http2Front &) = delete;

  bool Started() const { return nginx_.Running(); }
  const std::string &Failure() const { return failure_; }
  // "https://127.0.0.1:PORT".
  std::string Url() const;
  // The CA that signed the front's certificate (for QX_QUARN_CA_BUNDLE).
  static const std::string &CaBundle();

  // The requests answered so far, oldest first.
  std::vector<FrontRequest> Requests();
  // How many client connections carried them.
  std::size_t Connections();
  void ClearRequests();

 private:
  TempDir directory_;
  int port_ = 0;
  int markerPort_ = 0;
  NginxProcess nginx_;
  std::size_t skipped_ = 0;  // access log lines before the last ClearRequests
  int markers_ = 0;
  std::string failure_;
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_HTTP2FRONT_HH_
