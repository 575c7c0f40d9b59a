// The framing rules every request is held to before its body is read.
#include "HttpRequest.hh"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qx::quarn_server {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

HttpRequest RequestOf(const std::string &method, const Headers &headers,
                      const std::string &version = "HTTP/1.1",
                      const std::string &target = "/1.0/models") {
  HttpRequest request;
  request.method = method;
  request.version = version;
  request.target = target;
  request.headers = headers;
  return request;
}

TEST(FramingProblem, Table) {
  struct Case {
    const char *what;
    HttpRequest request;
    bool takesBody;
    int status;  // 0: sound
  };
  const Headers host = {{"Host", "x"}};
  const std::vector<Case> cases = {
      {"a plain GET", RequestOf("GET", host), false, 0},
      {"a GET announcing an empty body", RequestOf("GET", {{"Host", "x"}, {"Content-Length", "0"}}),
       false, 0},
      {"a POST with a length", RequestOf("POST", {{"Host", "x"}, {"Content-Length", "12"}}), true, 0},
      {"a chunked POST", RequestOf("POST", {{"Host", "x"}, {"Transfer-Encoding", "chunked"}}), true,
       0},
      {"a chunked POST, coding in capitals",
       RequestOf("POST", {{"Host", "x"}, {"transfer-encoding", " Chunked "}}), true, 0},
      {"a POST without a length has no body", RequestOf("POST", host), true, 0},
      {"HTTP/1.0 without a Host", RequestOf("GET", {}, "HTTP/1.0"), false, 0},
      {"no Host", RequestOf("GET", {}), false, 400},
      {"two Hosts", RequestOf("GET", {{"Host", "x"}, {"host", "y"}}), false, 400},
      {"two Hosts, HTTP/1.0", RequestOf("GET", {{"Host", "x"}, {"Host", "x"}}, "HTTP/1.0"), false,
       400},
      {"two Content-Lengths", RequestOf("POST", {{"Host", "x"}, {"Content-Length", "3"},
                                                 {"Content-Length", "40"}}),
       true, 400},
      {"two equal Content-Lengths",
       RequestOf("POST", {{"Host", "x"}, {"Content-Length", "3"}, {"content-length", "3"}}), true,
       400},
      {"a signed Content-Length", RequestOf("POST", {{"Host", "x"}, {"Content-Length", "+3"}}), true,
       400},
      {"a negative Content-Length", RequestOf("POST", {{"Host", "x"}, {"Content-Length", "-3"}}),
       true, 400},
      {"a list as Content-Length", RequestOf("POST", {{"Host", "x"}, {"Content-Length", "3, 3"}}),
       true, 400},
      {"Content-Length beside Transfer-Encoding",
       RequestOf("POST", {{"Host", "x"}, {"Content-Length", "5"}, {"Transfer-Encoding", "chunked"}}),
       true, 400},
      {"two Transfer-Encodings", RequestOf("POST", {{"Host", "x"}, {"Transfer-Encoding", "chunked"},
                                                   {"Transfer-Encoding", "chunked"}}),
       true, 400},
      {"Transfer-Encoding in HTTP/1.0",
       RequestOf("POST", {{"Host", "x"}, {"Transfer-Encoding", "chunked"}}, "HTTP/1.0"), true, 400},
      {"a coding other than chunked",
       RequestOf("POST", {{"Host", "x"}, {"Transfer-Encoding", "gzip, chunked"}}), true, 501},
      {"a body on GET", RequestOf("GET", {{"Host", "x"}, {"Content-Length", "38"}}), false, 400},
      {"a chunked body on HEAD", RequestOf("HEAD", {{"Host", "x"}, {"Transfer-Encoding", "chunked"}}),
       false, 400},
      {"a body on OPTIONS", RequestOf("OPTIONS", {{"Host", "x"}, {"Content-Length", "1"}}), false,
       400},
      {"a blank in the target", RequestOf("GET", host, "HTTP/1.1", "/1.0/a b"), false, 400},
      {"a tab in the target", RequestOf("GET", host, "HTTP/1.1", "/1.0/a\tb"), false, 400},
      {"an empty target", RequestOf("GET", host, "HTTP/1.1", ""), false, 400},
      {"a header name with a blank", RequestOf("GET", {{"Host ", "x"}}), false, 400},
      {"a header name with a slash", RequestOf("GET", {{"Host", "x"}, {"X/Y", "1"}}), false, 400},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<FramingProblem> problem = framingProblem(c.request, c.takesBody);
    EXPECT_EQ(c.status, problem ? problem->status : 0);
  }
}

TEST(HttpRequest, BodyAndLength) {
  EXPECT_FALSE(RequestOf("POST", {{"Host", "x"}}).HasBody());
  EXPECT_FALSE(RequestOf("POST", {{"Content-Length", "0"}}).HasBody());
  EXPECT_TRUE(RequestOf("POST", {{"Content-Length", "1"}}).HasBody());
  EXPECT_TRUE(RequestOf("POST", {{"Transfer-Encoding", "chunked"}}).HasBody());
  EXPECT_EQ(std::optional<std::uint64_t>(1099511627776),
            RequestOf("POST", {{"Content-Length", "1099511627776"}}).DeclaredLength());
  EXPECT_EQ(std::optional<std::uint64_t>(UINT64_MAX),
            RequestOf("POST", {{"Content-Length", "99999999999999999999999"}}).DeclaredLength());
  EXPECT_FALSE(RequestOf("POST", {{"Transfer-Encoding", "chunked"}}).DeclaredLength());
  EXPECT_EQ(std::optional<std::string>("x"), RequestOf("GET", {{"HOST", "x"}}).Header("host"));
}

}  // namespace
}  // namespace qx::quarn_server
