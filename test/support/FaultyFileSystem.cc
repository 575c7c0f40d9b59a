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

int FaultyFileSystem::OpenDirectory(const std::string &path,
                                    std::unique_ptr<qi::Directory> &directory) {
  return real_.OpenDirectory(path, directory);
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

int FaultyFileSystem::StatusAt(const qi::Directory &parent, const std::string &name,
                               qi::PathStatus &status) {
  return real_.StatusAt(parent, name, status);
}

int FaultyFileSystem::OpenDirectoryAt(const qi::Directory &parent, const std::string &name,
                                      std::unique_ptr<qi::Directory> &directory) {
  return real_.OpenDirectoryAt(parent, name, directory);
}

int FaultyFileSystem::FollowLinkAt(const qi::Directory &parent, const std::string &name,
                                   uid_t &owner, std::unique_ptr<qi::Directory> &directory) {
  return real_.FollowLinkAt(parent, name, owner, directory);
}

int FaultyFileSystem::CreateDirectoryAt(const qi::Directory &parent, const std::string &name,
                                        unsigned mode) {
  const std::string path = parent.Join(name);
  See(Op::kCreateDirectory, path);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (contains(path, createPart_)) return createError_;
  }
  return real_.CreateDirectoryAt(parent, name, mode);
}

int FaultyFileSystem::CreateFileAt(const qi::Directory &parent, const std::string &name,
                                   std::unique_ptr<qi::WritableFile> &file) {
  const std::string path = parent.Join(name);
  See(Op::kCreateFile, path);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (contains(path, createPart_)) return createError_;
  }
  std::unique_ptr<qi::WritableFile> real;
  const int error = real_.CreateFileAt(parent, name, real);
  if (error == 0) file = std::make_unique<FaultyFile>(*this, path, std::move(real));
  return error;
}

int FaultyFileSystem::RenameAt(const qi::Directory &fromParent, const std::string &from,
                               const qi::Directory &toParent, const std::string &to) {
  const std::string target = toParent.Join(to);
  See(Op::kRename, fromParent.Join(from), target);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (contains(target, renamePart_)) return renameError_;
  }
  return real_.RenameAt(fromParent, from, toParent, to);
}

int FaultyFileSystem::ExchangeAt(const qi::Directory &aParent, const std::string &a,
                                 const qi::Directory &bParent, const std::string &b) {
  See(Op::kExchange, aParent.Join(a), bParent.Join(b));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (exchangeError_ != 0) return exchangeError_;
  }
  return real_.ExchangeAt(aParent, a, bParent, b);
}

int FaultyFileSystem::LinkAt(const qi::Directory &fromParent, const std::string &from,
                             const qi::Directory &toParent, const std::string &to) {
  See(Op::kLink, fromParent.Join(from), toParent.Join(to));
  return real_.LinkAt(fromParent, from, toParent, to);
}

int FaultyFileSystem::RemoveEmptyDirectoryAt(const qi::Directory &parent,
                                             const std::string &name) {
  See(Op::kRemove, parent.Join(name));
  return real_.RemoveEmptyDirectoryAt(parent, name);
}

int FaultyFileSystem::RemoveAllAt(const qi::Directory &parent, const std::string &name) {
  See(Op::kRemove, parent.Join(name));
  return real_.RemoveAllAt(parent, name);
}

int FaultyFileSystem::SetMode(const qi::Directory &directory, unsigned mode) {
  return real_.SetMode(directory, mode);
}

}  // namespace qx::test
