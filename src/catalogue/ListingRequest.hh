/*
 * The one request that every catalogue listing page is fetched with, the
 * pages of a listing asked ahead of its walk, and a watch that tells a
 * caller whether the server answered every page it asked for. Internal to
 * the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_LISTINGREQUEST_HH_
#define QX_QUARN_TOOLS_SRC_LISTINGREQUEST_HH_

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "PendingRequest.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/Result.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools::internal {

// The body of a listing page past the last one.
inline constexpr const char *kNoMorePages = "null\n";

// GET of route `api` (backslashes taken as slashes) below the server's URL
// and API version, with the one query item `query` (nothing when empty) and
// "Accept: application/json". No API key is sent. Noted by this thread's
// ListingPageWatch.
RestResponse RequestListingPage(const Rest &rest, const ServerConfig &server,
                                const std::string &api, const std::string &query);

// The pages of one listing asked ahead of its walk. Pages are asked before
// the walk needs them, each on a thread of its own (the transport runs them
// at once: on one connection over HTTP/2), and the walk takes them one by
// one, in order, each as RequestListingPage gives it (noted by the walking
// thread's watch). A page the walk no longer wants (past the end, or not
// the one a world listing's next link names) is dropped and cancelled.
class PagesAhead {
 public:
  // The most pages asked ahead of the walk at once.
  static constexpr std::size_t kMaxPagesAhead = 8;
  // How many pages to have asked ahead once `taken` pages were taken: 2
  // after the first, 4 after the second, then kMaxPagesAhead, so that a
  // listing of one page costs few requests more and a long one runs at a
  // window of kMaxPagesAhead.
  static std::size_t Window(std::size_t taken);

  // Only `rest`'s user agent is taken.
  PagesAhead(const Rest &rest, const ServerConfig &server, const std::string &api);
  ~PagesAhead();
  PagesAhead(const PagesAhead &) = delete;
  PagesAhead &operator=(const PagesAhead &) = delete;

  // Asks the pages of `queries` ahead, in order, save those asked already.
  void Ask(const std::vector<std::string> &queries);
  // The page of `query`: the one asked ahead when it is the oldest still
  // asked (any asked before it are dropped), else asked now and waited
  // for.
  RestResponse Take(const std::string &query);
  // Drops every page asked and not taken.
  void Drop();

 private:
  Rest rest_;
  ServerConfig server_;
  std::string api_;
  std::deque<std::pair<std::string, std::unique_ptr<PendingRequest>>> asked_;
};

// While it lives, records the answer to the first listing page request that
// this thread sent and that did not come back with status 200 (which ends
// the listing). Listing iterators request their pages on the thread that
// creates or advances them, so a caller that walks a listing on its own
// thread learns how it went. Watches on one thread nest; the innermost
// records.
class ListingPageWatch {
 public:
  ListingPageWatch();
  ~ListingPageWatch();
  ListingPageWatch(const ListingPageWatch &) = delete;
  ListingPageWatch &operator=(const ListingPageWatch &) = delete;

  const std::optional<ServerReply> &Failure() const { return failure_; }

  // Called for every page answer on this thread.
  static void Note(const ServerConfig &server, const std::string &route,
                   const RestResponse &response);
  // Called for a page answered with 200 from which no entry was read: unless
  // its body is an empty listing ("[]"), it was no listing page (an HTML
  // page of a proxy, a wrong address), which ends the listing as a failure.
  static void NoteEmptyPage(const ServerConfig &server, const std::string &api,
                            const RestResponse &response);

 private:
  ListingPageWatch *outer_;
  std::optional<ServerReply> failure_;
};

// The pages one listing has taken so far. A server that ignores "page=",
// or whose pages come round again, or that never runs out of pages, would
// otherwise be read forever.
class ListingPages {
 public:
  // The most pages one listing takes.
  static constexpr std::size_t kMaxPages = 100000;

  ListingPages(const ServerConfig &server, const std::string &api);

  // Whether `body`, the page labelled `page`, ends the listing: it repeats
  // a page taken before byte for byte, or the listing has taken kMaxPages
  // pages. Writes the warning that says which; otherwise keeps the page's
  // digest.
  bool Ends(const std::string &page, const std::string &body);

 private:
  std::string server_;
  std::string api_;
  std::unordered_map<std::size_t, std::string> taken_;  // digest of a body: its page
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_LISTINGREQUEST_HH_
