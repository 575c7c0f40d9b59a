#include "support/FaultyFileSystem.hh"

namespace qx::test {

namespace qi = qx::quarn_tools::internal;

namespace {

// A real file whose appends ask the faulty file system first.
class FaultyFile : public qi::WritableFile {
 public:
  FaultyFile(FaultyFileSystem &owner, std::string path, std::unique_ptr<qi::WritableFile> real)
      : owner_(owner), path_(std::move(path)), real_(std::move(real)) {}
  int Append(const char *data, std::size_t size) override {
    owned_ += size;
    owner_.See(FaultyFileSystem::Op::kAppend, path_, std::to_string(owned_));
    const int error = owner_.TakeWrite(size);
    return error != 0 ? error : real_->Append(data, size);
  }
  int Close() override { return real_->Close(); }

 private:
  FaultyFileSystem &owner_;
  std::string path_;
  std::uint64_t owned_ = 0;
  std::unique_ptr<qi::WritableFile> real_;
};

bool contains(const std::string &text, const std::string &part) {
  return !part.empty() && text.find(part) != std::string::npos;
}

}  // namespace

FaultyFileSystem::FaultyFileSystem() : real_(qi::PosixFileSystem()), installed_(*this) {}

FaultyFileSystem::~FaultyFileSystem() = default;

void FaultyFileSystem::FailWritesAfter(std::uint64_t bytes, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeLimit_ = bytes;
  writeError_ = error;
}

void FaultyFileSystem::FailCreate(const std::string &part, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  createPart_ = part;
  createError_ = error;
}

void FaultyFileSystem::FailRename(const std::string &part, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  renamePart_ = part;
  renameError_ = error;
}

void FaultyFileSystem::FailExchange(int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  exchangeError_ = error;
}

void FaultyFileSystem::SetFreeSpace(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  freeSpace_ = bytes;
}

void FaultyFileSystem::SetHook(Hook hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

void FaultyFileSystem::See(Op op, const std::string &path, const std::string &other) {
  Hook hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = hook_;
  }
  if (hook) hook(op, path, other);
}

int FaultyFileSystem::TakeWrite(std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (writeLimit_ && written_.load() + size > *writeLimit_) return writeError_;
  written_ += size;
  return 0;
}

int FaultyFileSystem::Status(const std::string &path, qi::PathStatus &status) {
  return real_.Status(path, status);
}

bool FaultyFileSystem::IsDirectoryFollowingLinks(const std::string &path) {
  return real_.IsDirectoryFollowingLinks(path);
}

int FaultyFileSystem::CreateDirectory(const std::string &path) {
  See(Op::kCreateDirectory, path);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (contains(path, createPart_)) return createError_;
  }
  return real_.CreateDirectory(path);
}

int FaultyFileSystem::CreateFile(const std::string &path, std::unique_ptr<qi::WritableFile> &file) {
  See(Op::kCreateFile, path);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (contains(path, createPart_)) return createError_;
  }
  std::unique_ptr<qi::WritableFile> real;
  const int error = real_.CreateFile(path, real);
  if (error == 0) file = std::make_unique<FaultyFile>(*this, path, std::move(real));
  return error;
}

int FaultyFileSystem::OpenForAppend(const std::string &path,
                                    std::unique_ptr<qi::WritableFile> &file, std::uint64_t &size) {
  See(Op::kCreateFile, path);
  std::unique_ptr<qi::WritableFile> real;
  const int error = real_.OpenForAppend(path, real, size);
  if (error == 0) file = std::make_unique<FaultyFile>(*this, path, std::move(real));
  return error;
}

int FaultyFileSystem::Rename(const std::string &from, const std::string &to) {
  See(Op::kRename, from, to);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (contains(to, renamePart_)) return renameError_;
  }
  return real_.Rename(from, to);
}

int FaultyFileSystem::Exchange(const std::string &a, const std::string &b) {
  See(Op::kExchange, a, b);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (exchangeError_ != 0) return exchangeError_;
  }
  return real_.Exchange(a, b);
}

int FaultyFileSystem::Link(const std::string &from, const std::string &to) {
  See(Op::kLink, from, to);
  return real_.Link(from, to);
}

int FaultyFileSystem::RemoveEmptyDirectory(const std::string &path) {
  See(Op::kRemove, path);
  return real_.RemoveEmptyDirectory(path);
}

int FaultyFileSystem::RemoveAll(const std::string &path) {
  See(Op::kRemove, path);
  return real_.RemoveAll(path);
}

int FaultyFileSystem::FreeSpace(const std::string &path, std::uint64_t &bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (freeSpace_) {
      bytes = *freeSpace_;
      return 0;
    }
  }
  return real_.FreeSpace(path, bytes);
}

}  // namespace qx::test
