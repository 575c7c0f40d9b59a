/*
 * Free helper functions: how a server URL becomes a directory name inside the
 * cache. Pure functions, safe on any thread; they log nothing.
 */
#ifndef QX_QUARN_TOOLS_HELPERS_HH_
#define QX_QUARN_TOOLS_HELPERS_HH_

#include <string>

#include <qx/common/URI.hh>
#include "qx/quarn_tools/Export.hh"

namespace qx::quarn_tools {

// The authority text made safe as a directory name: every ":" becomes "%3A",
// then every "@" becomes "%40". Nothing else is escaped.
QX_QUARN_TOOLS_VISIBLE std::string sanitizeAuthority(const std::string &authority);

// The relative cache path of a URI: the sanitized authority, then the path
// (without its leading "/"). Scheme, query and fragment take no part, so two
// servers that differ only in scheme share one cache directory.
QX_QUARN_TOOLS_VISIBLE std::string uriToPath(const qx::common::URI &uri);

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_HELPERS_HH_
