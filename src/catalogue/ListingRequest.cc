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

namespace {

// The request of RequestListingPage, without the note.
RestResponse SendListingRequest(const Rest &rest, const ServerConfig &server,
                                const std::string &api, const std::string &query) {
  return SendToServer(rest, HttpMethod::GET, server, RouteOf(api), {query},
                      {"Accept: application/json"});
}

}  // namespace

RestResponse RequestListingPage(const Rest &rest, const ServerConfig &server,
                                const std::string &api, const std::string &query) {
  const RestResponse response = SendListingRequest(rest, server, api, query);
  ListingPageWatch::Note(server, RouteOf(api), response);
  return response;
}

std::size_t PagesAhead::Window(std::size_t taken) {
  if (taken <= 1) return 2;
  if (taken == 2) return 4;
  return kMaxPagesAhead;
}

PagesAhead::PagesAhead(const Rest &rest, const ServerConfig &server, const std::string &api)
    : server_(server), api_(api) {
  rest_.SetUserAgent(rest.UserAgent());
}

PagesAhead::~PagesAhead() { Drop(); }

void PagesAhead::Ask(const std::vector<std::string> &queries) {
  for (const std::string &query : queries) {
    const bool asked = std::any_of(asked_.begin(), asked_.end(),
                                   [&](const auto &page) { return page.first == query; });
    if (asked) continue;
    // The request owns copies of what it sends: it may outlive a walk that
    // moves on.
    asked_.emplace_back(query, std::make_unique<PendingRequest>(
                                   [rest = rest_, server = server_, api = api_, query] {
                                     return SendListingRequest(rest, server, api, query);
                                   }));
  }
}

RestResponse PagesAhead::Take(const std::string &query) {
  const auto wanted = std::find_if(asked_.begin(), asked_.end(),
                                   [&](const auto &page) { return page.first == query; });
  if (wanted != asked_.begin()) {
    // The pages asked before it are not wanted any more.
    for (auto page = asked_.begin(); page != wanted; ++page) page->second->Cancel();
    asked_.erase(asked_.begin(), wanted);
  }
  if (asked_.empty()) return RequestListingPage(rest_, server_, api_, query);
  const RestResponse response = asked_.front().second->Take();
  asked_.pop_front();
  ListingPageWatch::Note(server_, RouteOf(api_), response);
  return response;
}

void PagesAhead::Drop() {
  // Every page is cancelled first, then all are waited for together.
  for (const auto &page : asked_) page.second->Cancel();
  asked_.clear();
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
