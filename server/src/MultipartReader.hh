/*
 * A multipart/form-data body read as it arrives, in pieces of any size:
 * the reader finds the parts and hands each one's header (name, file name,
 * content type) and bytes to a sink, keeping no more than a delimiter's
 * length of the body itself. Strict: a body that is not well formed, a
 * part header that is too long or no form-data, or too many parts, ends
 * the reading with a reason. Used by one thread at a time.
 */
#ifndef QX_QUARN_SERVER_MULTIPARTREADER_HH_
#define QX_QUARN_SERVER_MULTIPARTREADER_HH_

#include <cstddef>
#include <optional>
#include <string>

namespace qx::quarn_server {

class MultipartReader {
 public:
  struct PartHeader {
    std::string name;
    std::optional<std::string> filename;  // set for file parts, as sent
    std::string contentType;              // empty when the part names none
  };

  // Takes the parts; each call returns false (with `why`) to end the
  // reading.
  class Sink {
   public:
    virtual ~Sink() = default;
    virtual bool BeginPart(const PartHeader &header, std::string &why) = 0;
    virtual bool PartData(const char *data, std::size_t size, std::string &why) = 0;
    virtual bool EndPart(std::string &why) = 0;
  };

  // The longest header a part may have, and the most parts a body may hold.
  static constexpr std::size_t kMaxPartHeader = 16 * 1024;
  static constexpr std::size_t kMaxParts = 100000;

  // The boundary a Content-Type names ("multipart/form-data; boundary=X");
  // nullopt for any other type or a boundary that is missing or invalid.
  static std::optional<std::string> Boundary(const std::string &contentType);

  MultipartReader(const std::string &boundary, Sink &sink);
  MultipartReader(const MultipartReader &) = delete;
  MultipartReader &operator=(const MultipartReader &) = delete;

  // The next bytes of the body; false once the body is malformed or the
  // sink refused (then Error() says why, and further bytes are ignored).
  bool Feed(const char *data, std::size_t size);
  // The body ended: true when it ended with the closing delimiter and
  // every part was taken.
  bool Finish();
  const std::string &Error() const { return error_; }

 private:
  enum class State { kPreamble, kAfterDelimiter, kHeader, kData, kEpilogue, kFailed };

  bool Fail(const std::string &why);
  // Consumes what it can of `pending_`; false on failure.
  bool Advance();
  bool ParseHeader(const std::string &block, PartHeader &header);

  const std::string delimiter_;  // "\r\n--" + boundary
  Sink &sink_;
  State state_ = State::kPreamble;
  std::string pending_;  // bytes not consumed yet
  std::size_t parts_ = 0;
  bool inPart_ = false;
  std::string error_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_MULTIPARTREADER_HH_
