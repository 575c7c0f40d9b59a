/*
 * What the SDF files of a world version include by URI: the text of every
 * <uri> of every <include> element, wherever it stands (in the world, in a
 * model, in a nested model), read with tinyxml2. Reads only; any thread.
 * Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_SDFINCLUDES_HH_
#define QX_QUARN_TOOLS_SRC_SDFINCLUDES_HH_

#include <string>
#include <vector>

namespace qx::quarn_tools::internal {

// The URIs one SDF document includes, in document order, without the
// whitespace around them (an empty <uri> is left out). Nothing, with false
// in `*wellFormed` when given, for a text that is not XML.
std::vector<std::string> IncludedUris(const std::string &sdfText, bool *wellFormed = nullptr);

// The URIs that the .sdf and .world files below `directory` include, each
// once, in the order first met (files by path, directories before the
// files below them, in name order). Links are not followed; a file that is
// not XML is passed over with a debug line.
std::vector<std::string> IncludedUrisIn(const std::string &directory);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_SDFINCLUDES_HH_
