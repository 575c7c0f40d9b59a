#include "FileIo.hh"

#include <fstream>
#include <sstream>

namespace qx::quarn_tools::internal {

bool ReadWholeFile(const std::string &path, std::string &content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) return false;
  content = out.str();
  return true;
}

}  // namespace qx::quarn_tools::internal
