/*
 * The texts that the command functions and the quarn tool print about
 * listings: the tree of a server's resources by owner, one resource URL per
 * line, and text from servers made safe to show on a terminal. Pure
 * functions, safe on any thread; they write nothing themselves.
 */
#ifndef QX_QUARN_TOOLS_COMMANDTEXT_HH_
#define QX_QUARN_TOOLS_COMMANDTEXT_HH_

#include <map>
#include <string>
#include <vector>

#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools {

// Resource names by owner: owners in byte order, names in the order given.
using OwnerTable = std::map<std::string, std::vector<std::string>>;

// `text` with every byte that could act on a terminal written as "%XX": C0
// controls and DEL, C1 controls, bidirectional overrides, isolates and
// marks, and bytes that are not valid UTF-8. Everything else, "%" included,
// stays as it is.
QX_QUARN_TOOLS_VISIBLE std::string printableText(const std::string &text);

// `text` with every byte that is not part of well-formed UTF-8 replaced by
// U+FFFD, the replacement character: what a JSON document may carry.
QX_QUARN_TOOLS_VISIBLE std::string validUtf8(const std::string &text);

// The URL of a resource: the server's URL, its API version, `owner`
// (printable), `kind` ("models" or "worlds") and `name` percent-escaped
// (every byte but ASCII letters, digits, "-", ".", "_" and "~").
QX_QUARN_TOOLS_VISIBLE std::string resourceUrl(const ServerConfig &server,
                                               const std::string &owner,
                                               const std::string &kind,
                                               const std::string &name);

// The tree of one server's listing, each line ended by a line end: the
// server's URL in green, then per owner (yellow, "├──" or "└──" for the
// last) its names below it ("├── " or "└── " for the last, indented by
// "│   " or, under the last owner, four blanks), then the summary
// "N owners, M KIND" in cyan. Owners and names are printable. Without
// `colours`, the same lines with no colour sequences.
QX_QUARN_TOOLS_VISIBLE std::string listingTree(const ServerConfig &server,
                                               const OwnerTable &table,
                                               const std::string &kind, bool colours = true);

// One resourceUrl line per name of the table, owners in table order.
QX_QUARN_TOOLS_VISIBLE std::string listingLines(const ServerConfig &server,
                                                const OwnerTable &table,
                                                const std::string &kind);

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_COMMANDTEXT_HH_
