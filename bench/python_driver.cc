// The C++ side of bench/python_module.py: what a program calls instead of
// the Python module, timed the same way.
//
//   python_driver fetch CACHE URL CALLS       median nanoseconds of one
//                                             ResourceRequests::Fetch of a
//                                             cached URL
//   python_driver download CACHE THREADS URL...
//                                             seconds for THREADS threads to
//                                             Download (force) every URL,
//                                             and the archive bytes received
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/quarn_tools/QuarnClient.hh>
#include <qx/quarn_tools/ResourceRequests.hh>
#include <qx/quarn_tools/qx.hh>

namespace {

using Clock = std::chrono::steady_clock;
using qx::quarn_tools::DownloadOutcome;
using qx::quarn_tools::RequestOptions;
using qx::quarn_tools::ResourceRequests;

int fetch(ResourceRequests &requests, const std::string &url, std::size_t calls) {
  std::vector<std::int64_t> nanoseconds(calls);
  for (std::size_t i = 0; i < calls; ++i) {
    const auto start = Clock::now();
    const DownloadOutcome outcome = requests.Fetch(url);
    const auto end = Clock::now();
    if (!outcome) {
      std::cerr << "fetch failed: " << outcome.failure.text << "\n";
      return 1;
    }
    nanoseconds[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
  }
  std::nth_element(nanoseconds.begin(), nanoseconds.begin() + calls / 2, nanoseconds.end());
  std::cout << nanoseconds[calls / 2] << "\n";
  return 0;
}

int download(ResourceRequests &requests, std::size_t threads, const std::vector<std::string> &urls) {
  RequestOptions options;
  options.force = true;
  std::atomic<std::size_t> next{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<bool> failed{false};
  const auto start = Clock::now();
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (std::size_t i = next++; i < urls.size(); i = next++) {
        const DownloadOutcome outcome = requests.Download(urls[i], options);
        if (!outcome) failed = true;
        bytes += outcome.bytes;
      }
    });
  }
  for (std::thread &worker : workers) worker.join();
  const std::chrono::duration<double> seconds = Clock::now() - start;
  if (failed) {
    std::cerr << "a download failed\n";
    return 1;
  }
  std::cout << seconds.count() << " " << bytes << "\n";
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 5) {
    std::cerr << "usage: python_driver fetch CACHE URL CALLS | download CACHE THREADS URL...\n";
    return 2;
  }
  qx::common::Console::SetVerbosity(0);
  const std::string mode = argv[1];
  qx::quarn_tools::ClientConfig config = qx::quarn_tools::commandConfig(nullptr);
  config.SetCacheLocation(argv[2]);
  // The module answers cached fetches with an offline twin of its client.
  if (std::getenv("QX_BENCH_OFFLINE") != nullptr) config.SetOffline(true);
  qx::quarn_tools::QuarnClient client(config, qx::quarn_tools::Rest());
  ResourceRequests requests(client);
  if (mode == "fetch") return fetch(requests, argv[3], std::strtoul(argv[4], nullptr, 10));
  return download(requests, std::strtoul(argv[3], nullptr, 10),
                  std::vector<std::string>(argv + 4, argv + argc));
}
