#include "NginxConfig.hh"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>
#include <vector>

#include "RouteTable.hh"
#include "qx/quarn_server/RepositoryServer.hh"

namespace qx::quarn_server {

const char *const kNginxMainFile = "nginx.conf";
const char *const kNginxHttpFile = "quarn-http.conf";
const char *const kNginxServerFile = "quarn-server.conf";
const char *const kNginxRunDirectory = "nginx";

namespace {

// The internal location that answers a page query naming no page.
const char kBadPageLocation[] = "/qx-invalid-page";
// Pages of listings with a next page are found up to this many digits.
const int kMaxPageDigits = 10;

std::string quoted(const std::string &text) { return "\"" + text + "\""; }

// In every location (a location's own add_header hides the server's): no
// answer is to be taken for another type than it says.
const char kNoSniff[] = "    add_header X-Content-Type-Options nosniff always;\n";

// `text` with the characters that mean something in a regular expression
// escaped.
std::string regexLiteral(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') out += '\\';
    out += c;
  }
  return out;
}

// The regular expression of one piece of a route pattern. Named captures
// become nginx variables ($qx_owner, ...).
std::string pieceRegex(const std::string &piece) {
  if (piece == "{owner}") return "(?<qx_owner>[^/]+)";
  if (piece == "{name}") return "(?<qx_name>[^/]+)";
  if (piece == "{collection}") return "(?<qx_collection>[^/]+)";
  if (piece == "{kind}") return "(?<qx_kind>models|worlds)";
  // As the server reads version numbers: leading zeros do not count.
  if (piece == "{version}") return "(?:0*(?<qx_number>[1-9][0-9]*)|(?<qx_tip>tip))";
  if (piece == "{name}.zip") return "\\k<qx_name>\\.zip";
  if (piece == "{path}") return "(?<qx_path>.+)";
  return regexLiteral(piece);
}

// The nginx text of a placeholder in an export path. Owners and
// collections go through the maps that find their exported spelling.
std::string placeholderVariable(const std::string &name) {
  if (name == "{version}") return "${qx_number}${qx_tip}";
  if (name == "{owner}") return "${qx_owner_dir}";
  if (name == "{collection}") return "${qx_collection_dir}";
  return "${qx_" + name.substr(1, name.size() - 2) + "}";
}

// A map from what a request names (`source`) to the exported spelling:
// requests without capital letters name it as it is; others are matched
// ignoring case against every name in `names` (as `key`: `value`). Names
// an nginx configuration cannot hold are found in lower case only.
void writeSpellingMap(std::ostream &out, const std::string &source, const std::string &variable,
                      const std::string &fallback,
                      const std::vector<std::pair<std::string, std::string>> &names) {
  out << "map " << quoted(source) << " " << variable << " {\n"
      << "    default " << fallback << ";\n"
      << "    \"~^[^A-Z]*$\" " << fallback << ";\n";
  for (const auto &[key, value] : names) {
    if (unfitForNginx(key) || unfitForNginx(value)) continue;
    out << "    " << quoted("~*^" + regexLiteral(key) + "$") << " " << quoted(value) << ";\n";
  }
  out << "}\n\n";
}

void writeSpellingMaps(std::ostream &out, const NginxSite &site) {
  out << "# Owners and collections in any letter case, as the repository server finds\n"
         "# them; the export keeps them in lower case.\n";
  std::vector<std::pair<std::string, std::string>> owners;
  for (const std::string &owner : site.owners) owners.emplace_back(owner, owner);
  writeSpellingMap(out, "$qx_owner", "$qx_owner_dir", "$qx_owner", owners);
  std::vector<std::pair<std::string, std::string>> collections;
  for (const auto &[owner, collection] : site.collections)
    collections.emplace_back(owner + "/" + collection, collection);
  writeSpellingMap(out, "$qx_owner_dir/$qx_collection", "$qx_collection_dir", "$qx_collection",
                   collections);
}

std::string locationRegex(const NginxSite &site, const RouteForm &form) {
  std::string regex = "^/" + regexLiteral(site.apiVersion);
  for (const std::string &piece : routeSegments(form.pattern)) regex += "/" + pieceRegex(piece);
  return regex + "$";
}

std::string exportVariables(const std::string &exportPath) {
  return fillPlaceholders(exportPath, placeholderVariable);
}

// The content types of single files, as an nginx types block.
std::string fileTypes() {
  std::map<std::string, std::string> byType;
  for (const auto &[extension, type] : fileContentTypes()) byType[type] += " " + extension.substr(1);
  std::string out = "types {";
  for (const auto &[type, extensions] : byType) out += " " + type + extensions + ";";
  return out + " }";
}

// The directives that send the file of `form` from the export.
void writeFileAnswer(std::ostream &out, const NginxSite &site, const RouteForm &form) {
  const std::string path = form.exportPath;
  const auto [versionDir, inVersion] = splitAtVersion(path);
  if (form.versionHeader && !inVersion.empty()) {
    // The version directory is the root, so that $realpath_root names the
    // version a tip link leads to.
    out << "    root " << quoted(site.site + "/" + exportVariables(versionDir)) << ";\n"
        << "    try_files " << quoted("/" + exportVariables(inVersion)) << " =404;\n"
        << "    add_header " << kVersionHeader << " $qx_version;\n";
  } else {
    out << "    root " << quoted(site.site) << ";\n"
        << "    try_files " << quoted("/" + exportVariables(path)) << " =404;\n";
  }
  if (*form.contentType) {
    out << "    types { }\n    default_type " << form.contentType << ";\n";
  } else {
    out << "    " << fileTypes() << "\n    default_type " << kDefaultFileType << ";\n"
        << "    add_header Content-Disposition $qx_disposition always;\n";
  }
}

// The regular expression that matches the paths of attachmentExtensions().
std::string attachmentPattern() {
  std::string alternatives;
  for (const std::string &extension : attachmentExtensions())
    alternatives += (alternatives.empty() ? "" : "|") + regexLiteral(extension.substr(1));
  return "~*\\.(" + alternatives + ")$";
}

// The first segment of a listing's export path: the internal location of
// listing pages.
std::string listingPrefix() {
  for (const RouteForm &form : routeForms())
    if (form.type == Route::kListing) return routeSegments(form.exportPath).front();
  return "listing";
}

void writeListingPages(std::ostream &out, const NginxSite &site) {
  out << "# The pages of every listing: the one the query asks for, an empty page\n"
         "# past the last, the next one named in a Link header.\n"
      << "location ^~ /" << listingPrefix() << "/ {\n"
      << "    internal;\n"
      << "    if ($qx_page = bad) { rewrite ^ " << kBadPageLocation << " last; }\n"
      << "    root " << quoted(site.site) << ";\n"
      << "    try_files $uri/${qx_page}" << kNextPageSuffix << " $uri/${qx_page}" << kPageSuffix
      << " $uri/" << kPastLastPage << " =404;\n"
      << "    types { }\n    default_type application/json;\n"
      << "    add_header Link $qx_link;\n"
      << kNoSniff
      << "}\n\n"
      << "# A page query that names no page, answered as the repository server does.\n"
      << "location = " << kBadPageLocation << " {\n"
      << "    internal;\n"
      << "    types { }\n    default_type text/plain;\n"
      << kNoSniff
      << "    return 400 \"Invalid page in query: $args\\n\";\n"
      << "}\n\n";
}

// The location of the forms in [first, last), which share one pattern.
void writeLocation(std::ostream &out, const NginxSite &site, const std::vector<RouteForm> &forms,
                   std::size_t first, std::size_t last) {
  out << "location ~ " << quoted(locationRegex(site, forms[first])) << " {\n";
  for (std::size_t i = first; i < last; ++i) {
    const RouteForm &form = forms[i];
    if (form.type == Route::kListing) {
      const std::string rewrite =
          "rewrite ^ " + quoted("/" + exportVariables(form.exportPath)) + " last;";
      if (form.pageQuery)
        out << "    if ($qx_page_item) { " << rewrite << " }\n";
      else
        out << "    " << rewrite << "\n";
    } else {
      writeFileAnswer(out, site, form);
    }
  }
  out << kNoSniff << "}\n\n";
}

// Increments a page number of up to kMaxPageDigits digits: the last digit
// that is not a 9 goes up by one and the nines after it become zeros.
void writeNextPageMap(std::ostream &out) {
  out << "map $qx_page $qx_next_page {\n";
  for (int nines = 0; nines < kMaxPageDigits; ++nines) {
    const std::string tail = nines ? "9{" + std::to_string(nines) + "}" : "";
    const std::string zeros(nines, '0');
    for (char digit = '0'; digit <= '8'; ++digit) {
      out << "    \"~^(?<qx_page_head>[0-9]*)" << digit << tail << "$\" \"${qx_page_head}"
          << static_cast<char>(digit + 1) << zeros << "\";\n";
    }
    out << "    \"~^9{" << nines + 1 << "}$\" \"1" << zeros << "0\";\n";
  }
  out << "}\n\n";
}

}  // namespace

std::optional<std::string> unfitForNginx(const std::string &path) {
  for (unsigned char c : path) {
    if (c == '"' || c == '\\' || c == '$' || c < 0x20 || c == 0x7f)
      return "it holds a quote, backslash, dollar sign or control character";
  }
  return std::nullopt;
}

std::optional<std::string> unfitListen(const std::string &listen) {
  const std::string why = "it is no PORT, HOST:PORT or [IPv6]:PORT";
  const std::size_t colon = listen.rfind(':');
  const std::string host = colon == std::string::npos ? "" : listen.substr(0, colon);
  const std::string port = colon == std::string::npos ? listen : listen.substr(colon + 1);
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }))
    return why;
  const long number = std::stol(port);
  if (number < 1 || number > 65535) return why;
  if (colon == std::string::npos) return std::nullopt;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    const std::string inner = host.substr(1, host.size() - 2);
    const bool ipv6 = std::all_of(inner.begin(), inner.end(), [](unsigned char c) {
      return std::isxdigit(c) || c == ':' || c == '.';
    });
    return ipv6 ? std::nullopt : std::optional<std::string>(why);
  }
  const bool name = !host.empty() && std::all_of(host.begin(), host.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == '*';
  });
  return name ? std::nullopt : std::optional<std::string>(why);
}

std::string nginxMainConfig(const NginxSite &site) {
  const std::string run = site.out + "/" + kNginxRunDirectory;
  std::ostringstream out;
  out << "# A repository mirror, written by quarn mirror export.\n"
      << "# Serve it with: nginx -c " << site.out << "/" << kNginxMainFile << "\n"
      << "worker_processes auto;\n"
      << "pid " << quoted(run + "/nginx.pid") << ";\n"
      << "error_log " << quoted(run + "/error.log") << ";\n\n"
      << "events {\n    worker_connections 1024;\n}\n\n"
      << "http {\n"
      << "    access_log " << quoted(run + "/access.log") << ";\n";
  for (const char *temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    out << "    " << temp << "_temp_path " << quoted(run + "/" + temp) << ";\n";
  out << "    sendfile on;\n    tcp_nopush on;\n\n"
      << "    include " << quoted(site.out + "/" + kNginxHttpFile) << ";\n\n"
      << "    server {\n"
      << "        listen " << site.listen << ";\n"
      << "        include " << quoted(site.out + "/" + kNginxServerFile) << ";\n"
      << "    }\n"
      << "}\n";
  return out.str();
}

std::string nginxHttpConfig(const NginxSite &site) {
  std::ostringstream out;
  out << "# Maps of a repository mirror (http context), written by quarn mirror export.\n\n"
      << "# Whether the query asks for a page (a \"page\" item), and which page: the\n"
         "# first \"page=\" item in decimal, 1 without one; bad for anything else.\n"
      << "map $args $qx_page_item {\n    \"~(^|&)page(=|&|$)\" 1;\n    default 0;\n}\n\n"
      << "map $args $qx_has_page {\n    \"~(^|&)page=\" 1;\n    default 0;\n}\n\n"
      << "map \"$qx_has_page:$arg_page\" $qx_page {\n"
      << "    \"~^0:\" 1;\n"
      << "    \"~^1:0*(?<qx_page_digits>[1-9][0-9]{0,18})$\" $qx_page_digits;\n"
      << "    \"~^1:0*[1-9][0-9]{19,}$\" past;\n"
      << "    default bad;\n}\n\n";
  writeNextPageMap(out);
  out << "# The path of the request as it was sent, for the Link header.\n"
      << "map $request_uri $qx_request_path {\n"
      << "    \"~^(?<qx_request_path_only>[^?]*)\" $qx_request_path_only;\n}\n\n"
      << "map $uri $qx_link {\n"
      << "    \"~" << regexLiteral(kNextPageSuffix)
      << "$\" \"<$qx_request_path?page=$qx_next_page>; rel=\\\"next\\\"\";\n"
      << "    default \"\";\n}\n\n"
      << "# Single files a browser would run as a page of this site are saved instead.\n"
      << "map $uri $qx_disposition {\n"
      << "    " << quoted(attachmentPattern()) << " attachment;\n"
      << "    default \"\";\n}\n\n"
      << "# The version a version directory holds: its real name is NUMBER.FINGERPRINT.\n"
      << "map $realpath_root $qx_version {\n"
      << "    \"~/(?<qx_version_number>[0-9]+)\\.[0-9a-f]+$\" $qx_version_number;\n"
      << "    default \"\";\n}\n\n";
  writeSpellingMaps(out, site);
  return out.str();
}

std::string nginxServerConfig(const NginxSite &site) {
  std::ostringstream out;
  out << "# The routes of a repository mirror (server context), written by quarn\n"
      << "# mirror export from the route table of the repository server.\n\n"
      << "# Routes are read segment by segment, as the repository server reads them.\n"
      << "merge_slashes off;\n"
      << "if_modified_since before;\n"
      << "# No version of nginx in answers; no link followed to a file of another owner.\n"
      << "server_tokens off;\n"
      << "disable_symlinks if_not_owner;\n\n";
  writeListingPages(out, site);
  const std::vector<RouteForm> &forms = routeForms();
  for (std::size_t first = 0; first < forms.size();) {
    std::size_t last = first + 1;
    while (last < forms.size() && std::string(forms[last].pattern) == forms[first].pattern) ++last;
    writeLocation(out, site, forms, first, last);
    first = last;
  }
  out << "location / {\n" << kNoSniff << "    return 404;\n}\n";
  return out.str();
}

}  // namespace qx::quarn_server
