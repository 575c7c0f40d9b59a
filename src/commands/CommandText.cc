#include "qx/quarn_tools/CommandText.hh"

#include <cstddef>
#include <iterator>
#include <sstream>

#include "PrintableText.hh"

namespace qx::quarn_tools {

namespace {

// Styling of the listing tree.
constexpr const char *kServerStyle = "\033[92m\033[1m";
constexpr const char *kOwnerStyle = " \033[93m\033[1m";
constexpr const char *kTextEnd = "\033[39m\033[0m";
constexpr const char *kSummaryStyle = "\033[36m";
constexpr const char *kSummaryEnd = "\033[39m";

// What a URL path segment keeps unescaped.
bool unreservedByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

std::string percentEscaped(const std::string &text) {
  std::string escaped;
  for (const unsigned char c : text) {
    if (unreservedByte(c))
      escaped += static_cast<char>(c);
    else
      internal::AppendPercentEscaped(escaped, c);
  }
  return escaped;
}

}  // namespace

std::string resourceUrl(const ServerConfig &server, const std::string &owner,
                        const std::string &kind, const std::string &name) {
  return server.Url().Str() + "/" + server.Version() + "/" + printableText(owner) + "/" + kind +
         "/" + percentEscaped(name);
}

std::string listingTree(const ServerConfig &server, const OwnerTable &table,
                        const std::string &kind, bool colours) {
  const auto style = [colours](const char *sequence) { return colours ? sequence : ""; };
  const std::string ownerStyle = colours ? kOwnerStyle : " ";
  std::ostringstream out;
  out << style(kServerStyle) << server.Url().Str() << style(kTextEnd) << "\n";
  std::size_t resources = 0;
  for (auto owner = table.begin(); owner != table.end(); ++owner) {
    const bool lastOwner = std::next(owner) == table.end();
    out << (lastOwner ? "└──" : "├──") << ownerStyle << printableText(owner->first)
        << style(kTextEnd) << "\n";
    const std::vector<std::string> &names = owner->second;
    for (std::size_t i = 0; i < names.size(); ++i) {
      out << (lastOwner ? "    " : "│   ") << (i + 1 == names.size() ? "└── " : "├── ")
          << printableText(names[i]) << "\n";
    }
    resources += names.size();
  }
  out << style(kSummaryStyle) << table.size() << " owners, " << resources << " " << kind
      << style(kSummaryEnd) << "\n";
  return out.str();
}

std::string listingLines(const ServerConfig &server, const OwnerTable &table,
                         const std::string &kind) {
  std::string lines;
  for (const auto &[owner, names] : table) {
    for (const std::string &name : names) lines += resourceUrl(server, owner, kind, name) + "\n";
  }
  return lines;
}

}  // namespace qx::quarn_tools
