#include "LogLines.hh"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <mutex>
#include <vector>

#include <qx/common/Util.hh>
#include <qx/quarn_tools/CommandText.hh>

namespace qx::quarn_cli {

namespace {

constexpr std::size_t kShortestSecret = 4;
constexpr const char *kHidden = "***";
// The level prefix of a log line ("[Err] ") is this long.
constexpr std::size_t kLevelPrefixLength = 6;
constexpr int kDebugVerbosity = 4;

std::mutex gSecretsMutex;
std::vector<std::string> gSecrets;  // guarded by gSecretsMutex

std::string trimmed(const std::string &text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

std::string withoutSecrets(std::string text) {
  std::lock_guard<std::mutex> lock(gSecretsMutex);
  for (const std::string &secret : gSecrets) text = qx::common::replaceAll(text, secret, kHidden);
  return text;
}

// "[name:123] " at `at`: its length, or 0.
std::size_t positionLength(const std::string &line, std::size_t at) {
  if (line.compare(at, 1, "[") != 0) return 0;
  const std::size_t end = line.find("] ", at);
  if (end == std::string::npos) return 0;
  const std::size_t colon = line.rfind(':', end);
  if (colon == std::string::npos || colon < at || colon + 1 == end) return 0;
  for (std::size_t i = colon + 1; i < end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return 0;
  }
  return end + 2 - at;
}

}  // namespace

void addSecret(const std::string &secret) {
  const std::string text = trimmed(secret);
  if (text.size() < kShortestSecret) return;
  std::lock_guard<std::mutex> lock(gSecretsMutex);
  for (const std::string &known : gSecrets) {
    if (known == text) return;
  }
  gSecrets.push_back(text);
}

std::string printableLines(const std::string &text) {
  const std::string clean = withoutSecrets(text);
  std::string out;
  for (std::size_t start = 0;;) {
    const std::size_t end = clean.find('\n', start);
    if (end == std::string::npos) return out + qx::quarn_tools::printableText(clean.substr(start));
    out += qx::quarn_tools::printableText(clean.substr(start, end - start)) + "\n";
    start = end + 1;
  }
}

std::string shownLogLine(const std::string &line, int verbosity) {
  std::string shown = line;
  if (verbosity < kDebugVerbosity) {
    shown.erase(kLevelPrefixLength, positionLength(shown, kLevelPrefixLength));
  }
  const bool ended = !shown.empty() && shown.back() == '\n';
  if (ended) shown.pop_back();
  return printableLines(shown) + (ended ? "\n" : "");
}

void writeStandardError(const std::string &text) {
  const char *data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

LogLines::LogLines() {
  previous_ = qx::common::Console::SetSink([](int, const std::string &line) {
    writeStandardError(shownLogLine(line, qx::common::Console::Verbosity()));
  });
}

LogLines::~LogLines() { qx::common::Console::SetSink(previous_); }

}  // namespace qx::quarn_cli
