#include "support/Matchers.hh"

namespace qx::test {

void PrintCapturedLog(std::ostream *os) {
  if (os == nullptr) return;
  const LogCapture *capture = LogCapture::Current();
  if (capture == nullptr) return;
  *os << "\n  the log caught:";
  const auto lines = capture->Lines();
  if (lines.empty()) *os << " nothing";
  for (const auto &line : lines) {
    std::string text = line.second;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    *os << "\n    " << text;
  }
}

}  // namespace qx::test
