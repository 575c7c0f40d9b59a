#include "EngineResponse.hh"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include <qx/common/Console.hh>

#include "OpenFile.hh"

namespace qx::quarn_server {
namespace {

// Bytes read at once from a file sent through a callback (a reply cut
// short).
const std::size_t kCallbackBlock = 64 * 1024;

void freeString(void *text) { delete static_cast<std::string *>(text); }

// The body of a reply cut short: the first `sent` bytes, then an error
// that makes libmicrohttpd close the connection.
struct CutBody {
  std::shared_ptr<const OpenFile> file;
  std::uint64_t fileOffset = 0;
  std::string text;
  std::uint64_t sent = 0;

  static ssize_t Read(void *cls, std::uint64_t position, char *buffer, std::size_t max) {
    const auto *body = static_cast<const CutBody *>(cls);
    if (position >= body->sent) return MHD_CONTENT_READER_END_WITH_ERROR;
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(max, body->sent - position));
    if (!body->file) {
      std::memcpy(buffer, body->text.data() + position, count);
      return static_cast<ssize_t>(count);
    }
    const long got = body->file->Read(body->fileOffset + position, buffer, count);
    return got > 0 ? static_cast<ssize_t>(got) : MHD_CONTENT_READER_END_WITH_ERROR;
  }
  static void Free(void *cls) { delete static_cast<CutBody *>(cls); }
};

}  // namespace

MHD_Response *responseOf(Reply &reply) {
  const std::uint64_t size = reply.BodySize();
  MHD_Response *response = nullptr;
  if (reply.truncateAfter) {
    auto *body = new CutBody;
    body->sent = std::min<std::uint64_t>(*reply.truncateAfter, size);
    body->file = reply.file;
    body->fileOffset = reply.fileOffset;
    if (!reply.file) body->text = std::move(reply.body);
    const std::uint64_t announced = std::max(size, body->sent + 1);
    response = MHD_create_response_from_callback(announced, kCallbackBlock, &CutBody::Read, body,
                                                 &CutBody::Free);
    if (response == nullptr) delete body;
  } else if (reply.file && size > 0) {
    const int fd = ::fcntl(reply.file->Descriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) {
      response = MHD_create_response_from_fd_at_offset64(size, fd, reply.fileOffset);
      if (response == nullptr) ::close(fd);
    }
  } else {
    auto *text = new std::string(reply.file ? std::string() : std::move(reply.body));
    response = MHD_create_response_from_buffer_with_free_callback_cls(
        text->size(), text->data(), &freeString, text);
    if (response == nullptr) delete text;
  }
  if (response == nullptr) return nullptr;
  for (const auto &[name, value] : reply.headers) {
    if (MHD_add_response_header(response, name.c_str(), value.c_str()) != MHD_YES)
      qxwarn << "Unable to send the header [" << name << "]";
  }
  return response;
}

}  // namespace qx::quarn_server
