#include "qx/quarn_tools/WorldIter.hh"

#include <cctype>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Util.hh>

#include "ListingRequest.hh"
#include "Routes.hh"
#include "WorldPages.hh"
#include "qx/quarn_tools/JSONParser.hh"

namespace qx::quarn_tools {
namespace {

constexpr const char *kPageKey = "page=";
// A world listing holds every world in memory; past this many it ends.
constexpr std::size_t kMaxWorlds = 1000000;

// Where the "page=" parameter starts in `text`: the first occurrence that
// begins a query parameter (after "?" or "&"), so that "per_page=20" is not
// taken for it; else the first occurrence at all.
std::size_t FindPageParameter(const std::string &text) {
  const std::size_t first = text.find(kPageKey);
  for (std::size_t at = first; at != std::string::npos; at = text.find(kPageKey, at + 1)) {
    if (at > 0 && (text[at - 1] == '?' || text[at - 1] == '&')) return at;
  }
  return first;
}

// The query of the next page announced in a "Link" header: from "page=" up
// to the ">" that closes the link, in the first piece that mentions "next".
// Empty when there is no such piece or it holds no "page=".
std::string NextPageQuery(const std::map<std::string, std::string> &headers) {
  const auto link = headers.find("Link");
  if (link == headers.end()) return std::string();
  for (const std::string &piece : qx::common::split(link->second, ",")) {
    if (piece.find("next") == std::string::npos) continue;
    const std::size_t start = FindPageParameter(piece);
    if (start == std::string::npos) return std::string();
    std::string query = piece.substr(start, piece.find('>', start) - start);
    // Without a closing ">" the piece runs to the header's line end.
    while (!query.empty() && std::isspace(static_cast<unsigned char>(query.back()))) {
      query.pop_back();
    }
    return query;
  }
  return std::string();
}

// Where the page number of `query` stands: its first digit and the end of
// its digits after the "page=" parameter; nothing when it has none.
std::optional<std::pair<std::size_t, std::size_t>> PageNumberAt(const std::string &query) {
  std::size_t start = FindPageParameter(query);
  if (start == std::string::npos) return std::nullopt;
  start += std::char_traits<char>::length(kPageKey);
  std::size_t end = start;
  while (end < query.size() && std::isdigit(static_cast<unsigned char>(query[end]))) ++end;
  if (end == start) return std::nullopt;
  return std::make_pair(start, end);
}

// The queries of the `count` pages from the one `next` names, by its page
// number ("page=4&per_page=20", "page=5&per_page=20", ...): the pages a
// listing whose next links count up will name. Empty when `next` holds no
// page number (or one too long to count on).
std::vector<std::string> PagesFrom(const std::string &next, std::size_t count) {
  const auto at = PageNumberAt(next);
  if (!at || at->second - at->first > 15) return {};
  const unsigned long long first = std::stoull(next.substr(at->first, at->second - at->first));
  std::vector<std::string> queries;
  for (std::size_t i = 0; i < count; ++i) {
    queries.push_back(next.substr(0, at->first) + std::to_string(first + i) +
                      next.substr(at->second));
  }
  return queries;
}

// What identifies the page a query asks for: the number after "page=", or
// the whole query when it holds none. The first request (no query) is page 1.
std::string PageKey(const std::string &query) {
  if (query.empty()) return "1";
  const auto at = PageNumberAt(query);
  if (!at) return query;
  auto [start, end] = *at;
  // Leading zeros name the same page.
  while (start + 1 < end && query[start] == '0') ++start;
  return query.substr(start, end - start);
}

}  // namespace

// ---- WorldIterPrivate ------------------------------------------------------

WorldIterPrivate::WorldIterPrivate() = default;

WorldIterPrivate::~WorldIterPrivate() = default;

WorldIdentifier &WorldIterPrivate::Current() { return current; }

// ---- WorldIterIds ----------------------------------------------------------

WorldIterIds::WorldIterIds(std::vector<WorldIdentifier> ids) : ids(std::move(ids)) {
  if (!this->ids.empty()) current = this->ids.front();
}

WorldIterIds::~WorldIterIds() = default;

void WorldIterIds::Next() {
  if (HasReachedEnd()) return;
  ++position;
  if (!HasReachedEnd()) current = ids[position];
}

bool WorldIterIds::HasReachedEnd() const { return position >= ids.size(); }

// ---- WorldPages ------------------------------------------------------------

namespace internal {

WorldPages::WorldPages(const Rest &rest, const ServerConfig &server, const std::string &api)
    : config(server), api(api), taken(server, api), ahead(rest, server, api) {}

bool WorldPages::Next(std::vector<WorldIdentifier> &page) {
  page.clear();
  if (ended) return false;
  // Whatever this page holds, only its next link goes on.
  ended = true;
  fetched.insert(PageKey(query));
  const std::string asked = PageKey(query);
  const RestResponse response = ahead.Take(query);
  body = response.data;
  ++pages;
  query = NextPageQuery(response.headers);
  if (response.statusCode != 200 || response.data == kNoMorePages) return false;
  if (taken.Ends(asked, response.data)) return false;
  page = JSONParser::ParseWorlds(response.data, config);
  if (page.empty()) ListingPageWatch::NoteEmptyPage(config, api, response);
  worlds += page.size();
  if (worlds >= kMaxWorlds) {
    qxwarn << "Listing [" << api << "] of " << config.Url().Str() << ": ending the listing after "
           << worlds << " worlds\n";
    return true;
  }
  // A page without worlds or without a usable next link ends the listing,
  // and so does a link back to a page already fetched (no endless loop).
  if (page.empty() || query.empty() || fetched.count(PageKey(query)) != 0) return true;
  if (routes::IsPagedListing(api)) ahead.Ask(PagesFrom(query, PagesAhead::Window(pages)));
  ended = false;
  return true;
}

}  // namespace internal

// ---- WorldIterRestIds ------------------------------------------------------

WorldIterRestIds::WorldIterRestIds(const Rest &rest, const ServerConfig &server,
                                   const std::string &api)
    : config(server) {
  this->rest.SetUserAgent(rest.UserAgent());
  internal::WorldPages pages(this->rest, config, api);
  std::vector<WorldIdentifier> page;
  while (pages.Next(page)) ids.insert(ids.end(), page.begin(), page.end());
  if (ids.empty()) return;
  SetCurrent();
  qxdbg << "Got response [" << pages.LastBody() << "]\n";
}

WorldIterRestIds::~WorldIterRestIds() = default;

void WorldIterRestIds::Next() {
  if (HasReachedEnd()) return;
  ++position;
  if (!HasReachedEnd()) SetCurrent();
}

bool WorldIterRestIds::HasReachedEnd() const { return position >= ids.size(); }

void WorldIterRestIds::SetCurrent() {
  current = ids[position];
  current.SetServer(config);
}

// ---- WorldIter -------------------------------------------------------------

WorldIter::WorldIter(std::unique_ptr<WorldIterPrivate> strategy)
    : strategy_(std::move(strategy)) {}

WorldIter::WorldIter(WorldIter &&other) noexcept : strategy_(std::move(other.strategy_)) {}

WorldIter &WorldIter::operator=(WorldIter &&other) noexcept {
  strategy_ = std::move(other.strategy_);
  return *this;
}

WorldIter::~WorldIter() = default;

WorldIter::operator bool() const { return strategy_ && !strategy_->HasReachedEnd(); }

WorldIter::operator WorldIdentifier() const { return **this; }

WorldIter &WorldIter::operator++() {
  if (*this) strategy_->Next();
  return *this;
}

WorldIdentifier &WorldIter::operator*() const {
  return strategy_ ? strategy_->Current() : none_;
}

WorldIdentifier *WorldIter::operator->() const { return &**this; }

// ---- WorldIterFactory ------------------------------------------------------

WorldIter WorldIterFactory::Create(const std::vector<WorldIdentifier> &ids) {
  return WorldIter(std::make_unique<WorldIterIds>(ids));
}

WorldIter WorldIterFactory::Create(const Rest &rest, const ServerConfig &server,
                                   const std::string &api) {
  return WorldIter(std::make_unique<WorldIterRestIds>(rest, server, api));
}

WorldIter WorldIterFactory::Create() {
  return WorldIter(std::make_unique<WorldIterIds>(std::vector<WorldIdentifier>()));
}

}  // namespace qx::quarn_tools
