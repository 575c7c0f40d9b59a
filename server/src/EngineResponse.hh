// A reply of ours as libmicrohttpd's response: the body from memory, from
// an open file, or cut short after a number of bytes (a fault a test asked
// for), and the reply's headers.
#pragma once

#include <microhttpd.h>

#include "Reply.hh"

namespace qx::quarn_server {

// libmicrohttpd's response for `reply` (its body is moved out); nullptr when
// it cannot be made.
MHD_Response *responseOf(Reply &reply);

}  // namespace qx::quarn_server
