#include "RouteTable.hh"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include <qx/common/Util.hh>

namespace qx::quarn_server {

const char *const kPageSuffix = ".json";
const char *const kNextPageSuffix = ".next.json";
const char *const kPastLastPage = "end.json";
const char *const kDefaultFileType = "application/octet-stream";

namespace {

const char kJson[] = "application/json";

const std::vector<RouteForm> kForms = {
    {RouteForm::kLicenses, Route::kLicenses, "licenses", false, "licenses.json", kJson, false},
    {RouteForm::kServerListing, Route::kListing, "{kind}", false, "listing/server/{kind}", kJson,
     false},
    {RouteForm::kOwnerListing, Route::kListing, "{owner}/{kind}", false,
     "listing/owner/{owner}/{kind}", kJson, false},
    {RouteForm::kCollectionListing, Route::kListing, "{owner}/collections/{collection}/{kind}",
     false, "listing/collection/{owner}/{collection}/{kind}", kJson, false},
    {RouteForm::kResourceListing, Route::kListing, "{owner}/{kind}/{name}", true,
     "listing/resource/{owner}/{kind}/{name}", kJson, false},
    {RouteForm::kDetails, Route::kDetails, "{owner}/{kind}/{name}", false,
     "resources/{owner}/{kind}/{name}/details.json", kJson, false},
    {RouteForm::kArchive, Route::kArchive, "{owner}/{kind}/{name}/{version}/{name}.zip", false,
     "resources/{owner}/{kind}/{name}/{version}/archive.zip", "application/zip", true},
    {RouteForm::kFile, Route::kFile, "{owner}/{kind}/{name}/{version}/files/{path}", false,
     "resources/{owner}/{kind}/{name}/{version}/files/{path}", "", true},
};

bool isVersion(const std::string &text) {
  if (text == "tip") return true;
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c); });
}

bool isKindWord(const std::string &text, Kind &kind) {
  if (text == "models" || text == "worlds") {
    kind = text == "models" ? Kind::kModel : Kind::kWorld;
    return true;
  }
  return false;
}

// Whether segment `segment` fits piece `piece` of a pattern, filling `route`.
bool matchPiece(const std::string &piece, const std::string &segment, Route &route) {
  if (piece == "{owner}") route.owner = segment;
  else if (piece == "{name}") route.name = segment;
  else if (piece == "{collection}") route.collection = segment;
  else if (piece == "{kind}") return isKindWord(segment, route.kind);
  else if (piece == "{version}") route.version = segment;
  else if (piece == "{name}.zip") return segment == route.name + ".zip";
  else return piece == segment;
  return piece != "{version}" || isVersion(segment);
}

// Whether `segments` fit `form`, filling `route`.
bool matchForm(const RouteForm &form, const std::vector<std::string> &segments, Route &route) {
  const std::vector<std::string> pieces = routeSegments(form.pattern);
  const bool rest = pieces.back() == "{path}";
  const std::size_t fixed = rest ? pieces.size() - 1 : pieces.size();
  if (rest ? segments.size() <= fixed : segments.size() != fixed) return false;
  for (std::size_t i = 0; i < fixed; ++i)
    if (!matchPiece(pieces[i], segments[i], route)) return false;
  if (rest) route.filePath.assign(segments.begin() + fixed, segments.end());
  return true;
}

// The value of placeholder `name` ("{owner}", ...) in `route`.
std::string placeholderValue(const std::string &name, const Route &route) {
  if (name == "{owner}") return route.owner;
  if (name == "{name}") return route.name;
  if (name == "{collection}") return route.collection;
  if (name == "{kind}") return kindWord(route.kind);
  if (name == "{version}") return route.version;
  if (name == "{path}") {
    std::string path;
    for (const std::string &segment : route.filePath) path += (path.empty() ? "" : "/") + segment;
    return path;
  }
  return name;
}

}  // namespace

const std::vector<RouteForm> &routeForms() { return kForms; }

const RouteForm &routeForm(RouteForm::Id id) {
  for (const RouteForm &form : kForms)
    if (form.id == id) return form;
  return kForms.front();  // not reached: every id has its form
}

Route parseRoute(const std::string &text, const std::string &query) {
  const std::vector<std::string> segments = routeSegments(text);
  for (const std::string &segment : segments)
    if (segment.empty()) return Route();
  const bool paged = hasQueryItem(query, "page");
  for (const RouteForm &form : kForms) {
    if (form.pageQuery && !paged) continue;
    Route route;
    if (!matchForm(form, segments, route)) continue;
    route.type = form.type;
    route.form = &form;
    return route;
  }
  return Route();
}

Route makeRoute(RouteForm::Id id, Kind kind, const std::string &owner,
                const std::string &nameOrCollection, const std::string &version,
                const std::vector<std::string> &filePath) {
  const RouteForm &form = routeForm(id);
  Route route;
  route.type = form.type;
  route.form = &form;
  route.kind = kind;
  route.owner = owner;
  if (id == RouteForm::kCollectionListing)
    route.collection = nameOrCollection;
  else
    route.name = nameOrCollection;
  route.version = version;
  route.filePath = filePath;
  return route;
}

std::string fillPlaceholders(const std::string &text, const Route &route) {
  return fillPlaceholders(text, [&](const std::string &name) { return placeholderValue(name, route); });
}

std::string fillPlaceholders(const std::string &text,
                             const std::function<std::string(const std::string &)> &value) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find('{', at);
    const std::size_t close = open == std::string::npos ? open : text.find('}', open);
    if (close == std::string::npos) {
      out += text.substr(at);
      break;
    }
    out += text.substr(at, open - at);
    out += value(text.substr(open, close + 1 - open));
    at = close + 1;
  }
  return out;
}

std::string routeText(const Route &route) {
  return route.form ? fillPlaceholders(route.form->pattern, route) : std::string();
}

std::string exportPath(const Route &route) {
  return route.form ? fillPlaceholders(route.form->exportPath, route) : std::string();
}

std::pair<std::string, std::string> splitAtVersion(const std::string &path) {
  const std::string version = "{version}";
  const std::size_t at = path.find(version + "/");
  if (at == std::string::npos) return {path, ""};
  return {path.substr(0, at + version.size()), path.substr(at + version.size() + 1)};
}

std::string pageFileName(std::uint64_t page, bool hasNext) {
  return std::to_string(page) + (hasNext ? kNextPageSuffix : kPageSuffix);
}

std::string nextPageLink(const std::string &linkBase, const std::string &route,
                         std::uint64_t page) {
  return "<" + linkBase + "/" + escapeRoute(route) + "?page=" + std::to_string(page + 1) +
         ">; rel=\"next\"";
}

const std::vector<std::pair<std::string, std::string>> &fileContentTypes() {
  static const std::vector<std::pair<std::string, std::string>> kTypes = {
      {".config", "text/xml"},   {".dae", "text/xml"},        {".sdf", "text/xml"},
      {".urdf", "text/xml"},     {".xml", "text/xml"},        {".json", kJson},
      {".pbtxt", "text/plain"},  {".txt", "text/plain"},      {".obj", "text/plain"},
      {".mtl", "text/plain"},    {".material", "text/plain"}, {".md", "text/plain"},
      {".png", "image/png"},     {".jpg", "image/jpeg"},      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},     {".svg", "image/svg+xml"},   {".pdf", "application/pdf"},
  };
  return kTypes;
}

namespace {

// The extension of the file `path`, lower case with its dot; empty without.
std::string extensionOf(const std::string &path) {
  const std::string name = std::filesystem::path(path).filename().string();
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? "" : qx::common::lowercase(name.substr(dot));
}

}  // namespace

std::string fileContentType(const std::string &path) {
  const std::string extension = extensionOf(path);
  for (const auto &[known, type] : fileContentTypes())
    if (known == extension) return type;
  return kDefaultFileType;
}

const std::vector<std::string> &attachmentExtensions() {
  static const std::vector<std::string> kExtensions = {".html", ".htm", ".xhtml", ".xht",
                                                       ".svg", ".svgz"};
  return kExtensions;
}

bool sentAsAttachment(const std::string &path) {
  const std::string extension = extensionOf(path);
  const std::vector<std::string> &extensions = attachmentExtensions();
  return !extension.empty() &&
         std::find(extensions.begin(), extensions.end(), extension) != extensions.end();
}

}  // namespace qx::quarn_server
