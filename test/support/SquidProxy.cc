#include "support/SquidProxy.hh"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include <qx/common/Util.hh>

#include "support/RawHttp.hh"

namespace qx::test {

const char *const kSquidProgram = "/usr/sbin/squid";

namespace {

// The configuration: a stock squid's caching (memory only) on `port`, for
// clients on loopback, everything else below `dir`.
std::string Configuration(const std::string &dir, int port, bool root) {
  std::string text = "http_port 127.0.0.1:" + std::to_string(port) + "\n" +
                     "pid_filename " + dir + "/squid.pid\n" +
                     "cache_log " + dir + "/cache.log\n" +
                     "access_log stdio:" + dir + "/access.log\n" +
                     "coredump_dir " + dir + "\n";
  if (root) text += "cache_effective_user proxy\n";
  return text +
         "cache_store_log none\n"
         "cache_mem 64 MB\n"
         "maximum_object_size_in_memory 16 MB\n"
         "visible_hostname quarn-test\n"
         "acl loopback src 127.0.0.0/8\n"
         "http_access allow loopback\n"
         "http_access deny all\n"
         // Debian's default: what says nothing of its freshness is fresh for a
         // fifth of its age, three days at most.
         "refresh_pattern . 0 20% 4320\n"
         "shutdown_lifetime 0 seconds\n"
         "pinger_enable off\n"
         "icp_port 0\n"
         "htcp_port 0\n"
         "logfile_rotate 0\n"
         "netdb_filename none\n";
}

}  // namespace

SquidProxy::SquidProxy() {
  if (::access(kSquidProgram, X_OK) != 0) {
    failure_ = std::string(kSquidProgram) + " is not installed (apt-get install squid)";
    return;
  }
  const bool root = ::geteuid() == 0;
  if (root) {
    const passwd *proxy = ::getpwnam("proxy");
    if (proxy == nullptr || ::chown(directory_.Path().c_str(), proxy->pw_uid, proxy->pw_gid) != 0) {
      failure_ = "there is no user proxy for squid to run as";
      return;
    }
  }
  const std::string &dir = directory_.Path();
  for (int attempt = 0; attempt < 3 && !squid_.Running(); ++attempt) {
    port_ = UnusedPort();
    WriteFile(dir + "/squid.conf", Configuration(dir, port_, root));
    squid_.Start({kSquidProgram, "-N", "-f", dir + "/squid.conf"}, port_, dir + "/stderr.log",
                 {dir + "/cache.log"}, std::chrono::seconds(20));
    failure_ = squid_.Failure();
  }
}

std::string SquidProxy::Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> SquidProxy::AccessLog() const {
  return qx::common::split(ReadFile(directory_.Path() + "/access.log"), "\n");
}

}  // namespace qx::test
