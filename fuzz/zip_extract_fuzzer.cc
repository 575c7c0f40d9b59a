// libFuzzer target: Zip::Extract on arbitrary bytes. Besides crashes and
// sanitizer reports it checks that extraction never writes beside its
// destination and never leaves a link behind.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <qx/common/Console.hh>

#include "qx/quarn_tools/Zip.hh"

namespace fs = std::filesystem;

namespace {

std::string sandbox;

void check(bool condition, const char *what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  qx::common::Console::SetVerbosity(0);
  std::string pattern = (fs::temp_directory_path() / "qx-zip-fuzz-XXXXXX").string();
  check(mkdtemp(pattern.data()) != nullptr, "temporary directory");
  sandbox = pattern;
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(sandbox, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const fs::path archive = fs::path(sandbox) / "in.zip";
  const fs::path out = fs::path(sandbox) / "box" / "out";
  fs::create_directories(out.parent_path());
  {
    std::ofstream file(archive, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }
  qx::quarn_tools::Zip::Extract(archive.string(), out.string());

  // Only in.zip and box/ may exist in the sandbox, only out/ in box/.
  for (const auto &item : fs::directory_iterator(sandbox))
    check(item.path() == archive || item.path() == out.parent_path(), "file beside dest");
  for (const auto &item : fs::directory_iterator(out.parent_path()))
    check(item.path() == out, "file beside dest");
  if (fs::exists(out)) {
    for (const auto &item : fs::recursive_directory_iterator(out))
      check(!item.is_symlink(), "link created");
  }
  std::error_code ec;
  fs::remove_all(out.parent_path(), ec);
  return 0;
}
