#include "UploadSpool.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include <qx/common/Console.hh>

namespace fs = std::filesystem;

namespace qx::quarn_server {

UploadSpool::UploadSpool(fs::path workDirectory) : workDirectory_(std::move(workDirectory)) {}

UploadSpool::~UploadSpool() {
  if (partFd_ >= 0) ::close(partFd_);
  if (bodyFd_ >= 0) ::close(bodyFd_);
  if (directory_.empty()) return;
  std::error_code ec;
  fs::remove_all(directory_, ec);
}

bool UploadSpool::Fail(int status, const std::string &message, std::string &why) {
  failureStatus_ = status;
  why = message;
  return false;
}

bool UploadSpool::Directory(std::string &why) {
  if (!directory_.empty()) return true;
  if (::mkdir(workDirectory_.c_str(), 0700) != 0 && errno != EEXIST) {
    qxerr << "Unable to make the work directory [" << workDirectory_.string()
          << "]: " << std::strerror(errno);
    return Fail(500, "Unable to receive the upload", why);
  }
  std::string pattern = (workDirectory_ / "request-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    qxerr << "Unable to make a directory in [" << workDirectory_.string()
          << "]: " << std::strerror(errno);
    return Fail(500, "Unable to receive the upload", why);
  }
  directory_ = pattern;
  return true;
}

int UploadSpool::NewFile(const std::string &name, fs::path &path, std::string &why) {
  if (!Directory(why)) return -1;
  path = directory_ / name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    qxerr << "Unable to write [" << path.string() << "]: " << std::strerror(errno);
    Fail(500, "Unable to receive the upload", why);
  }
  return fd;
}

bool UploadSpool::Write(int fd, const char *data, std::size_t size, std::string &why) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (errno == ENOSPC || errno == EDQUOT)
        return Fail(507, "No room left to receive the upload", why);
      qxerr << "Unable to write an upload into [" << directory_.string()
            << "]: " << std::strerror(errno);
      return Fail(500, "Unable to receive the upload", why);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool UploadSpool::BeginPart(const MultipartReader::PartHeader &header, std::string &why) {
  nameBytes_ += header.name.size() + header.filename.value_or("").size() + header.contentType.size();
  if (nameBytes_ > kMaxNameBytes) return Fail(413, "The form has too many parts", why);
  WritePart part;
  part.name = header.name;
  part.contentType = header.contentType;
  if (header.filename) {
    part.filename = *header.filename;
    part.file = true;
    partFd_ = NewFile("part-" + std::to_string(parts_.size()), part.spooled, why);
    if (partFd_ < 0) return false;
  }
  parts_.push_back(std::move(part));
  return true;
}

bool UploadSpool::PartData(const char *data, std::size_t size, std::string &why) {
  WritePart &part = parts_.back();
  part.size += size;
  if (part.file) return Write(partFd_, data, size, why);
  textBytes_ += size;
  if (textBytes_ > kMaxTextBytes) return Fail(413, "The form's text fields are too long", why);
  part.text.append(data, size);
  return true;
}

bool UploadSpool::EndPart(std::string &why) {
  if (partFd_ < 0) return true;
  const int closed = ::close(partFd_);
  partFd_ = -1;
  if (closed != 0) return Fail(500, "Unable to receive the upload", why);
  return true;
}

bool UploadSpool::Append(const char *data, std::size_t size) {
  std::string why;
  if (bodyFd_ < 0 && bodyFile_.empty()) {
    bodyFd_ = NewFile("body", bodyFile_, why);
    if (bodyFd_ < 0) {
      bodyFile_.clear();
      return false;
    }
  }
  return bodyFd_ >= 0 && Write(bodyFd_, data, size, why);
}

}  // namespace qx::quarn_server
