/*
 * Conditional and range requests on replies sent from files: 304 for a
 * cache that holds the file already (If-None-Match, If-Modified-Since;
 * for a document, If-None-Match), 206
 * with the bytes a Range asks for (unless an If-Range no longer holds), 416
 * for a range the file cannot satisfy. Pure functions; safe on any thread.
 */
#ifndef QX_QUARN_SERVER_FILEDELIVERY_HH_
#define QX_QUARN_SERVER_FILEDELIVERY_HH_

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "Reply.hh"

namespace qx::quarn_server {

// The request headers that decide how a file is delivered.
struct DeliveryConditions {
  std::string method;
  std::optional<std::string> ifNoneMatch;
  std::optional<std::string> ifModifiedSince;
  std::optional<std::string> range;
  std::optional<std::string> ifRange;
};

// Changes a GET or HEAD reply of status 200 whose body is a file as the
// conditions ask; a reply whose body is held in memory (a document) only
// becomes 304 when it carries an ETag that an If-None-Match names. Leaves
// every other reply as it is. HEAD is answered as GET would be, without the
// body.
void deliverFile(const DeliveryConditions &conditions, Reply &reply);

// What a Range header asks of a body of `size` bytes.
struct RangeAnswer {
  enum Kind {
    kWhole,          // no range to honour: the whole body (other units, several ranges;
                     // empty elements of the list do not count)
    kPart,           // the bytes [first, first + length)
    kUnsatisfiable,  // a byte range that is malformed or lies past the end
  };
  Kind kind = kWhole;
  std::uint64_t first = 0;
  std::uint64_t length = 0;
};
RangeAnswer answerRange(const std::string &header, std::uint64_t size);

// An HTTP date: IMF-fixdate (as sent in Last-Modified), or one of the
// obsolete RFC 850 and asctime forms; nullopt when `text` is none.
std::optional<std::time_t> parseHttpDate(const std::string &text);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_FILEDELIVERY_HH_
