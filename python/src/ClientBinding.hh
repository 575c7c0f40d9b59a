/*
 * quarn._quarn.Client: one QuarnClient (and a cache-only twin that answers
 * fetches of cached resources on the calling thread) behind the methods of
 * quarn.Client. Waits run without the GIL; downloads and other requests run
 * through runGuarded, so Ctrl-C stops them. Any number of Python threads
 * may call one object at once.
 */
#ifndef QX_QUARN_PYTHON_CLIENTBINDING_HH_
#define QX_QUARN_PYTHON_CLIENTBINDING_HH_

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ClientSetup.hh"

namespace qx::quarn_python {

namespace py = pybind11;

// A server's listing taken page by page (ResourcePages). Each NextPage
// waits for one page on a worker thread, without the GIL, as every call
// that asks a server; a Ctrl-C there raises at once and the page is kept
// for no one (the next NextPage takes the page after it).
class Listing {
 public:
  struct Walk;
  explicit Listing(std::shared_ptr<Walk> walk);
  // The records of the next page (never empty); empty at the end; raises
  // the failure when a page failed.
  py::list NextPage() const;

 private:
  std::shared_ptr<Walk> walk_;
};

class Client {
 public:
  explicit Client(const ClientSettings &settings);

  // For the benchmark: the median nanoseconds of `calls` calls of the C++
  // ResourceRequests::Fetch of a cached URL, timed in this process; -1 when
  // one fails.
  std::int64_t TimeCachedFetch(const std::string &url, std::size_t calls) const;

  // The local path, or raises.
  std::string Fetch(const std::string &url) const;
  // One path (str) or exception object per URL, in order.
  py::list FetchMany(const std::vector<std::string> &urls, std::size_t jobs) const;
  // The outcome record (see outcomeObject); raises only for what is no
  // download at all (a URL of the wrong kind).
  py::dict Download(const std::string &url, std::size_t jobs, bool force,
                    py::object progress) const;
  // The details the server gives of a model or world; raises on failure.
  py::dict Details(const std::string &url) const;
  // The models ("models") or worlds ("worlds") of one server (or of one
  // owner there), page by page; asks nothing yet.
  Listing Pages(const std::string &kind, const std::string &server,
                const std::string &owner) const;
  // The configured servers' URLs.
  std::vector<std::string> Servers() const;
  // The server's answer to the upload (its text) and the server's API
  // version, or raises.
  std::pair<std::string, std::string> Upload(const std::string &path, const std::string &server, const std::string &owner,
                     bool isPrivate) const;
  void Edit(const std::string &url, std::optional<bool> isPrivate,
            const std::optional<std::string> &path) const;
  void Delete(const std::string &url) const;
  py::list Update(bool models, bool worlds) const;

  std::string CacheDir() const;
  bool Offline() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

void bindClient(py::module_ &module);

}  // namespace qx::quarn_python

#endif  // QX_QUARN_PYTHON_CLIENTBINDING_HH_
