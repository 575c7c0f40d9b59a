/*
 * Standard output for programs and for people. Results are printed as they
 * are for programs (a path goes to a pipe byte for byte, so that
 * P=$(quarn download URL) names the directory), and made safe for people on
 * a terminal; colours only where the user wants them.
 */
#ifndef QX_QUARN_CLI_TERMINALOUTPUT_HH_
#define QX_QUARN_CLI_TERMINALOUTPUT_HH_

#include <string>

namespace qx::quarn_cli {

// Whether standard output gets colours: `mode` is "always", "never" or
// "auto" (a terminal, NO_COLOR unset or empty, TERM not "dumb").
bool coloursWanted(const std::string &mode);

// A path (or other text a program may take as it is) for standard output:
// unchanged, except on a terminal, where the bytes that would act on it
// (controls, bidirectional overrides, invalid UTF-8) are written "%XX".
std::string shownPath(const std::string &path);

// A name from a server or the cache, for people: always printable.
std::string shownName(const std::string &name);

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_TERMINALOUTPUT_HH_
