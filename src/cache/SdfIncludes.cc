#include "SdfIncludes.hh"

#include <tinyxml2.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <qx/common/Console.hh>
#include <set>
#include <system_error>

#include "FileIo.hh"

namespace qx::quarn_tools::internal {

namespace {

std::string Trimmed(const char *text) {
  std::string value = text != nullptr ? text : "";
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  value.erase(value.begin(), std::find_if_not(value.begin(), value.end(), blank));
  value.erase(std::find_if_not(value.rbegin(), value.rend(), blank).base(), value.end());
  return value;
}

// Whether a file name ends in ".sdf" or ".world", in any case.
bool IsSdfFile(const std::string &name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto endsWith = [&lower](const std::string &end) {
    return lower.size() > end.size() &&
           lower.compare(lower.size() - end.size(), end.size(), end) == 0;
  };
  return endsWith(".sdf") || endsWith(".world");
}

}  // namespace

std::vector<std::string> IncludedUris(const std::string &sdfText, bool *wellFormed) {
  std::vector<std::string> uris;
  tinyxml2::XMLDocument document;
  const bool parsed = document.Parse(sdfText.data(), sdfText.size()) == tinyxml2::XML_SUCCESS &&
                      document.RootElement() != nullptr;
  if (wellFormed != nullptr) *wellFormed = parsed;
  if (!parsed) return uris;
  // Depth first in document order, without recursion: a hostile document
  // cannot exhaust the stack.
  std::vector<const tinyxml2::XMLElement *> pending = {document.RootElement()};
  while (!pending.empty()) {
    const tinyxml2::XMLElement *element = pending.back();
    pending.pop_back();
    if (std::string(element->Name()) == "include") {
      for (const tinyxml2::XMLElement *uri = element->FirstChildElement("uri"); uri != nullptr;
           uri = uri->NextSiblingElement("uri")) {
        std::string text = Trimmed(uri->GetText());
        if (!text.empty()) uris.push_back(std::move(text));
      }
    }
    std::vector<const tinyxml2::XMLElement *> children;
    for (const tinyxml2::XMLElement *child = element->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement())
      children.push_back(child);
    pending.insert(pending.end(), children.rbegin(), children.rend());
  }
  return uris;
}

std::vector<std::string> IncludedUrisIn(const std::string &directory) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code typeError;
    if (it->is_regular_file(typeError) && !it->is_symlink(typeError) &&
        IsSdfFile(it->path().filename().string()))
      files.push_back(it->path().string());
  }
  if (error) qxdbg << "Reading directory [" << directory << "]: " << error.message() << "\n";
  std::sort(files.begin(), files.end());

  std::vector<std::string> uris;
  std::set<std::string> seen;
  for (const std::string &file : files) {
    std::string text;
    if (!ReadWholeFile(file, text)) {
      qxdbg << "Unable to read [" << file << "]: its includes are not looked at\n";
      continue;
    }
    bool wellFormed = false;
    for (std::string &uri : IncludedUris(text, &wellFormed)) {
      if (seen.insert(uri).second) uris.push_back(std::move(uri));
    }
    if (!wellFormed) qxdbg << "[" << file << "] is not XML: its includes are not looked at\n";
  }
  return uris;
}

}  // namespace qx::quarn_tools::internal
