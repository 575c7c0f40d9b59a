/*
 * Conversion between the text of a resource's model.config XML file and its
 * metadata record (metadata.pbtxt). Pure functions, safe on any thread. They
 * explain a failure with one line on standard error, not on the log.
 */
#ifndef QX_QUARN_TOOLS_MODELCONFIG_HH_
#define QX_QUARN_TOOLS_MODELCONFIG_HH_

#include <string>

#include "qx/quarn_tools/Export.hh"

namespace qx::msgs {
class QuarnMetadata;
}  // namespace qx::msgs

namespace qx::quarn_tools {

// Reads model.config text (a top-level <model> or <world> element with a
// <name> and at least one <sdf> element carrying a version above 0.0.0) into
// `meta`. True on success, with `meta` replaced by the record read; false,
// with `meta` untouched, otherwise. A <version> text that is no 32-bit
// decimal number leaves the version unset.
QX_QUARN_TOOLS_VISIBLE bool metadataFromModelConfig(const std::string &modelConfig,
                                                    qx::msgs::QuarnMetadata &meta);

// Writes model.config text for `meta`, whose model (or world) must name its
// file format "sdf". True on success, with `modelConfig` replaced; false,
// with `modelConfig` untouched, otherwise. Texts are XML-escaped, so a record
// reads back the same, except that the SDF version keeps only major and
// minor and texts lose white space at their ends.
QX_QUARN_TOOLS_VISIBLE bool modelConfigFromMetadata(const qx::msgs::QuarnMetadata &meta,
                                                    std::string &modelConfig);

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_MODELCONFIG_HH_
