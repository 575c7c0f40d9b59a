#include "support/Matchers.hh"

namespace qx::test {

namespace {

void printLines(const LogCapture &capture, std::ostream *os) {
  *os << "\n  the log caught:";
  const auto lines = capture.Lines();
  if (lines.empty()) *os << " nothing";
  for (const auto &line : lines) {
    std::string text = line.second;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    *os << "\n    " << text;
  }
}

}  // namespace

void PrintCapturedLog(std::ostream *os) {
  if (os == nullptr) return;
  const LogCapture *capture = LogCapture::Current();
  if (capture != nullptr) printLines(*capture, os);
}

void PrintTo(const LogCapture &log, std::ostream *os) { printLines(log, os); }

}  // namespace qx::test
