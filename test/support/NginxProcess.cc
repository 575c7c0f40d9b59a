#include "support/NginxProcess.hh"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <qx/common/Util.hh>

#include "support/TestSupport.hh"

namespace qx::test {

const char *const kNginxProgram = "/usr/sbin/nginx";

bool NginxProcess::Start(const std::string &config, int port, const std::string &stderrLog) {
  return process_.Start({kNginxProgram, "-c", config, "-g", "daemon off; master_process off;"},
                        port, stderrLog);
}

void NginxProcess::Stop() { process_.Stop(); }

std::vector<std::string> NginxProcess::LogLinesUpTo(const std::string &accessLog, int port,
                                                    const std::string &marker) {
  SendAndDrain(port, "GET " + marker + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::vector<std::string> lines;
  while (std::chrono::steady_clock::now() < deadline) {
    lines = qx::common::split(ReadFile(accessLog), "\n");
    for (const std::string &line : lines)
      if (line.find(" " + marker + " ") != std::string::npos) return lines;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ADD_FAILURE() << "nginx did not log the marker request " << marker;
  return lines;
}

}  // namespace qx::test
