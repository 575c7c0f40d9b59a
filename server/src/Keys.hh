/*
 * The server's keys compared with what a request carries, in time that does
 * not depend on where the two differ (or on their lengths): both are hashed
 * and the digests compared whole. Pure functions; safe on any thread.
 */
#ifndef QX_QUARN_SERVER_KEYS_HH_
#define QX_QUARN_SERVER_KEYS_HH_

#include <optional>
#include <string>

namespace qx::quarn_server {

// Whether `given` (the request's "Private-token", if any) is `key`. False
// when `key` is empty (no key opens nothing) or nothing is given.
bool keyMatches(const std::optional<std::string> &given, const std::string &key);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_KEYS_HH_
