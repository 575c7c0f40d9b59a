/*
 * Text from servers and archives made safe to show: the definitions of
 * printableText and validUtf8 (declared in qx/quarn_tools/CommandText.hh),
 * which the reasons of failures need below the command functions, and the
 * percent escape they share with resource URLs. Pure functions; any thread.
 * Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_PRINTABLETEXT_HH_
#define QX_QUARN_TOOLS_SRC_PRINTABLETEXT_HH_

#include <string>

#include "qx/quarn_tools/CommandText.hh"

namespace qx::quarn_tools::internal {

// Appends "%XX" (upper-case hexadecimal) for `byte`.
void AppendPercentEscaped(std::string &out, unsigned char byte);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_PRINTABLETEXT_HH_
