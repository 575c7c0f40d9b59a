/*
 * Changing a configuration file (the YAML file ClientConfig::LoadConfig
 * reads) in place: storing a server's private token. Safe to call from one
 * thread at a time per file; readers never see a half-written file.
 */
#ifndef QX_QUARN_TOOLS_CONFIGFILEWRITER_HH_
#define QX_QUARN_TOOLS_CONFIGFILEWRITER_HH_

#include <string>

#include "qx/quarn_tools/Export.hh"

namespace qx::quarn_tools {

// Stores `token` as the "private-token" of the server whose "url" is `url`
// (compared as text) in the configuration file `path`: in that server's
// entry when the file has one, else in a new entry at the end of
// "servers". A missing file is created, with its directory. The new content
// goes to a temporary file beside the old one, readable by its owner only
// (mode 0600), which then replaces it; everything else the file held stays,
// except its comments. The token never reaches the log. False, with an
// error line, when the file is no configuration or cannot be written (the
// old file is then untouched).
QX_QUARN_TOOLS_VISIBLE bool storeServerToken(const std::string &path, const std::string &url,
                                             const std::string &token);

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_CONFIGFILEWRITER_HH_
