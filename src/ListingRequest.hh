/*
 * The one request that every catalogue listing page is fetched with, and a
 * watch that tells a caller whether the server answered every page it asked
 * for. Internal to the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_LISTINGREQUEST_HH_
#define QX_QUARN_TOOLS_SRC_LISTINGREQUEST_HH_

#include <optional>
#include <string>

#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/Result.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools::internal {

// The body of a listing page past the last one.
inline constexpr const char *kNoMorePages = "null\n";

// GET of route `api` (backslashes taken as slashes) below the server's URL
// and API version, with the one query item `query` (nothing when empty) and
// "Accept: application/json". No API key is sent.
RestResponse RequestListingPage(const Rest &rest, const ServerConfig &server,
                                const std::string &api, const std::string &query);

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

 private:
  ListingPageWatch *outer_;
  std::optional<ServerReply> failure_;
};

// Whether `body`, the listing page `page` of route `api`, repeats the page
// before it (`previous`) byte for byte: a server that ignores "page=" would
// otherwise be read forever. Writes the warning that ends the listing.
bool RepeatsThePageBefore(const ServerConfig &server, const std::string &api,
                          const std::string &page, const std::string &previous,
                          const std::string &body);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_LISTINGREQUEST_HH_
