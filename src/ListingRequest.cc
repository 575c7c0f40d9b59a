#include "ListingRequest.hh"

#include <qx/common/Console.hh>
#include <qx/common/Util.hh>

#include "ServerRequest.hh"

namespace qx::quarn_tools::internal {

namespace {
thread_local ListingPageWatch *tWatch = nullptr;
}  // namespace

ListingPageWatch::ListingPageWatch() : outer_(tWatch) { tWatch = this; }

ListingPageWatch::~ListingPageWatch() { tWatch = outer_; }

void ListingPageWatch::Note(const ServerConfig &server, const std::string &route,
                            const RestResponse &response) {
  if (tWatch == nullptr || response.statusCode == 200 || tWatch->failure_) return;
  tWatch->failure_ = ReplyOf(server, route, response);
}

RestResponse RequestListingPage(const Rest &rest, const ServerConfig &server,
                                const std::string &api, const std::string &query) {
  // Routes written Windows style still reach the server with slashes.
  const std::string route = qx::common::replaceAll(api, "\\", "/");
  const RestResponse response =
      SendToServer(rest, HttpMethod::GET, server, route, {query}, {"Accept: application/json"});
  ListingPageWatch::Note(server, route, response);
  return response;
}

bool RepeatsThePageBefore(const ServerConfig &server, const std::string &api,
                          const std::string &page, const std::string &previous,
                          const std::string &body) {
  if (previous.empty() || body != previous) return false;
  qxwarn << "Listing [" << api << "] of " << server.Url().Str() << ": page " << page
         << " is the same as the page before it; ending the listing there (the server may "
            "ignore page=)\n";
  return true;
}

}  // namespace qx::quarn_tools::internal
