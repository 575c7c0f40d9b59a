#include "ListingRequest.hh"

#include <qx/common/Console.hh>
#include <algorithm>
#include <cctype>
#include <functional>
#include <qx/common/Util.hh>

#include "ServerRequest.hh"

namespace qx::quarn_tools::internal {

namespace {

thread_local ListingPageWatch *tWatch = nullptr;

// Routes written Windows style still reach the server with slashes.
std::string RouteOf(const std::string &api) { return qx::common::replaceAll(api, "\\", "/"); }

}  // namespace

ListingPageWatch::ListingPageWatch() : outer_(tWatch) { tWatch = this; }

ListingPageWatch::~ListingPageWatch() { tWatch = outer_; }

void ListingPageWatch::Note(const ServerConfig &server, const std::string &route,
                            const RestResponse &response) {
  if (tWatch == nullptr || response.statusCode == 200 || tWatch->failure_) return;
  tWatch->failure_ = ReplyOf(server, route, response);
}

void ListingPageWatch::NoteEmptyPage(const ServerConfig &server, const std::string &api,
                                     const RestResponse &response) {
  if (tWatch == nullptr || tWatch->failure_) return;
  std::string body = response.data;
  body.erase(std::remove_if(body.begin(), body.end(),
                            [](unsigned char c) { return std::isspace(c) != 0; }),
             body.end());
  if (body == "[]") return;
  tWatch->failure_ = ReplyOf(server, RouteOf(api), response);
}

RestResponse RequestListingPage(const Rest &rest, const ServerConfig &server,
                                const std::string &api, const std::string &query) {
  const std::string route = RouteOf(api);
  const RestResponse response =
      SendToServer(rest, HttpMethod::GET, server, route, {query}, {"Accept: application/json"});
  ListingPageWatch::Note(server, route, response);
  return response;
}

ListingPages::ListingPages(const ServerConfig &server, const std::string &api)
    : server_(server.Url().Str()), api_(api) {}

bool ListingPages::Ends(const std::string &page, const std::string &body) {
  const std::string where = "Listing [" + api_ + "] of " + server_ + ": ";
  if (taken_.size() >= kMaxPages) {
    qxwarn << where << "ending the listing after " << kMaxPages << " pages\n";
    return true;
  }
  const auto [seen, first] = taken_.emplace(std::hash<std::string>{}(body), page);
  if (first) return false;
  qxwarn << where << "page " << page << " is the same as page " << seen->second
         << " before it; ending the listing there (the server may ignore page=)\n";
  return true;
}

}  // namespace qx::quarn_tools::internal
