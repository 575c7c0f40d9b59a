/*
 * The kind words of resources, as they appear in routes, URLs, unique names
 * and cache directories. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_RESOURCEKINDS_HH_
#define QX_QUARN_TOOLS_SRC_RESOURCEKINDS_HH_

namespace qx::quarn_tools::internal {

inline constexpr const char *kModelsKind = "models";
inline constexpr const char *kWorldsKind = "worlds";
inline constexpr const char *kCollectionsKind = "collections";

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_RESOURCEKINDS_HH_
