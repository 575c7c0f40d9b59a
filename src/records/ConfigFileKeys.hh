/*
 * The words of the configuration file, shared by its reader
 * (ClientConfig.cc) and its writer (ConfigFileWriter.cc). Internal to the
 * library.
 */
#ifndef QX_QUARN_TOOLS_SRC_CONFIGFILEKEYS_HH_
#define QX_QUARN_TOOLS_SRC_CONFIGFILEKEYS_HH_

namespace qx::quarn_tools::internal {

// Top level: the sequence of server mappings, and the cache mapping.
inline constexpr const char *kServersKey = "servers";
inline constexpr const char *kCacheKey = "cache";
// Inside a server mapping.
inline constexpr const char *kUrlKey = "url";
inline constexpr const char *kPrivateTokenKey = "private-token";
// Inside the cache mapping.
inline constexpr const char *kPathKey = "path";
// Top level: what one archive may unpack to.
inline constexpr const char *kLimitsKey = "limits";
inline constexpr const char *kMaxUnpackedSizeKey = "max-unpacked-size";
inline constexpr const char *kMaxEntriesKey = "max-entries";
// Top level: how the client talks to servers.
inline constexpr const char *kTransferKey = "transfer";
inline constexpr const char *kRetriesKey = "retries";
inline constexpr const char *kConnectTimeoutKey = "connect-timeout";
inline constexpr const char *kStallTimeoutKey = "stall-timeout";
inline constexpr const char *kDocumentTimeoutKey = "document-timeout";
inline constexpr const char *kMaxDocumentSizeKey = "max-document-size";
inline constexpr const char *kMaxStreamsKey = "max-streams";

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_CONFIGFILEKEYS_HH_
