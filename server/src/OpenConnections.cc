#include "OpenConnections.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace qx::quarn_server {
namespace {

// The local port of a connected TCP socket; 0 for anything else.
int connectedLocalPort(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) return 0;
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) return 0;
  sockaddr_storage local{};
  length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) return 0;
  if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in *>(&local)->sin_port);
  if (local.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6 *>(&local)->sin6_port);
  return 0;
}

}  // namespace

void ShutDownConnectionsOf(int port) {
#ifdef __linux__
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    const int fd = std::atoi(it->path().filename().c_str());
    if (fd > 2 && port != 0 && connectedLocalPort(fd) == port) shutdown(fd, SHUT_RDWR);
  }
#else
  (void)port;
#endif
}

}  // namespace qx::quarn_server
