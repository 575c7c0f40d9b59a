#include "qx/quarn_tools/ModelConfig.hh"

#include <tinyxml2.h>

#include <cctype>
#include <cstdint>
#include <iostream>
#include <optional>
#include <sstream>

#include <qx/math/SemanticVersion.hh>
#include <qx/msgs/quarn_metadata.pb.h>

namespace qx::quarn_tools {
namespace {

using qx::msgs::QuarnMetadata;

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string trimmed(const char *text) {
  std::string s(text);
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && isSpace(s[begin])) ++begin;
  while (end > begin && isSpace(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

// The trimmed text of the first child element `name` of `parent`, when that
// child exists and holds text.
std::optional<std::string> childText(const tinyxml2::XMLElement *parent, const char *name) {
  const tinyxml2::XMLElement *child = parent->FirstChildElement(name);
  if (child == nullptr || child->GetText() == nullptr) return std::nullopt;
  return trimmed(child->GetText());
}

// An optional sign, then decimal digits; what follows the digits is ignored.
// Nothing when there are no digits or the number does not fit 32 bits.
std::optional<int32_t> leadingInt32(const std::string &text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t digits = i;
  int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (i == digits) return std::nullopt;
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

void readDependencies(const tinyxml2::XMLElement *root, QuarnMetadata &meta) {
  for (const tinyxml2::XMLElement *depend = root->FirstChildElement("depend");
       depend != nullptr; depend = depend->NextSiblingElement("depend")) {
    const tinyxml2::XMLElement *model = depend->FirstChildElement("model");
    const tinyxml2::XMLElement *uri = model ? model->FirstChildElement("uri") : nullptr;
    if (uri == nullptr) continue;
    // The URI is kept exactly as written; an element without text gives an
    // empty URI.
    meta.add_dependencies()->set_uri(uri->GetText() ? uri->GetText() : "");
  }
}

void readAuthors(const tinyxml2::XMLElement *root, QuarnMetadata &meta) {
  for (const tinyxml2::XMLElement *author = root->FirstChildElement("author");
       author != nullptr; author = author->NextSiblingElement("author")) {
    QuarnMetadata::Contact *contact = meta.add_authors();
    if (auto name = childText(author, "name")) contact->set_name(*name);
    if (auto email = childText(author, "email")) contact->set_email(*email);
  }
}

// The <sdf> child with text and the highest version above 0.0.0; the
// earliest one among equals. Null when there is none.
const tinyxml2::XMLElement *mainSdf(const tinyxml2::XMLElement *root,
                                    qx::math::SemanticVersion &version) {
  const tinyxml2::XMLElement *chosen = nullptr;
  version = qx::math::SemanticVersion();
  for (const tinyxml2::XMLElement *sdf = root->FirstChildElement("sdf"); sdf != nullptr;
       sdf = sdf->NextSiblingElement("sdf")) {
    const char *attribute = sdf->Attribute("version");
    if (sdf->GetText() == nullptr || attribute == nullptr) continue;
    qx::math::SemanticVersion candidate;
    candidate.Parse(trimmed(attribute));
    if (candidate > version) {
      version = candidate;
      chosen = sdf;
    }
  }
  return chosen;
}

template <typename Resource>
void setResource(Resource *resource, const std::string &file,
                 const qx::math::SemanticVersion &version) {
  resource->set_file(file);
  qx::msgs::VersionedName *format = resource->mutable_file_format();
  format->set_name("sdf");
  qx::msgs::Version *v = format->mutable_version();
  v->set_major(version.Major());
  v->set_minor(version.Minor());
  v->set_patch(version.Patch());
  v->set_prerelease(version.Prerelease());
  v->set_build(version.Build());
}

bool readModelConfig(const std::string &text, QuarnMetadata &meta) {
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  if (doc.Parse(text.c_str(), text.size()) != tinyxml2::XML_SUCCESS) {
    std::cerr << "Unable to parse model config XML string.\n";
    return false;
  }
  const tinyxml2::XMLElement *root = doc.FirstChildElement("model");
  const bool isModel = root != nullptr;
  if (!isModel) root = doc.FirstChildElement("world");
  if (root == nullptr) {
    std::cerr << "Model config string does not contain a " << "<model> or <world> element\n";
    return false;
  }

  QuarnMetadata result;
  const std::optional<std::string> name = childText(root, "name");
  if (!name) {
    std::cerr << "Model config string does not contain a <name> element\n";
    return false;
  }
  result.set_name(*name);
  // A version that is no 32-bit number is left unset.
  if (auto version = childText(root, "version")) {
    if (auto number = leadingInt32(*version)) result.set_version(*number);
  }
  if (auto description = childText(root, "description")) result.set_description(*description);
  readDependencies(root, result);
  readAuthors(root, result);

  qx::math::SemanticVersion version;
  const tinyxml2::XMLElement *sdf = mainSdf(root, version);
  const std::string file = sdf ? trimmed(sdf->GetText()) : std::string();
  if (file.empty()) {
    std::cerr << "Model config string does not contain an <sdf> element\n";
    return false;
  }
  if (isModel)
    setResource(result.mutable_model(), file, version);
  else
    setResource(result.mutable_world(), file, version);
  meta.CopyFrom(result);
  return true;
}

// Text for an XML element: "&", "<" and ">" escaped, so that any value reads
// back as written.
std::string escaped(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

template <typename Resource>
void writeModelConfig(const QuarnMetadata &meta, const Resource &resource, bool isModel,
                      std::ostream &out) {
  const char *kind = isModel ? "model" : "world";
  out << "<?xml version='1.0'?>\n";
  out << "  <" << kind << ">\n";
  out << "    <sdf version='" << resource.file_format().version().major() << "."
      << resource.file_format().version().minor() << "'>" << escaped(resource.file())
      << "</sdf>\n";
  out << "    <name>" << escaped(meta.name()) << "</name>\n";
  out << "    <version>" << meta.version() << "</version>\n";
  out << "    <description>" << escaped(meta.description()) << "</description>\n";
  for (const QuarnMetadata::Contact &author : meta.authors()) {
    out << "    <author>\n"
        << "      <name>" << escaped(author.name()) << "</name>\n"
        << "      <email>" << escaped(author.email()) << "</email>\n"
        << "    </author>\n";
  }
  for (const QuarnMetadata::Dependency &dependency : meta.dependencies()) {
    out << "    <depend>\n"
        << "      <model>\n"
        << "        <uri>" << escaped(dependency.uri()) << "</uri>\n"
        << "      </model>\n"
        << "    </depend>\n";
  }
  out << "  </" << kind << ">\n";
}

bool writeConfig(const QuarnMetadata &meta, std::string &modelConfig) {
  const bool isModel = meta.has_model();
  const std::string &formatName =
      isModel ? meta.model().file_format().name() : meta.world().file_format().name();
  if (formatName != "sdf") {
    std::cerr << (isModel ? "Model" : "World") << " _metadata does not contain an SDF file.\n";
    return false;
  }
  std::ostringstream out;
  if (isModel)
    writeModelConfig(meta, meta.model(), true, out);
  else
    writeModelConfig(meta, meta.world(), false, out);
  modelConfig = out.str();
  return true;
}

}  // namespace

bool metadataFromModelConfig(const std::string &modelConfig, QuarnMetadata &meta) {
  try {
    return readModelConfig(modelConfig, meta);
  } catch (const std::exception &e) {
    std::cerr << "Unable to parse model config XML string: " << e.what() << "\n";
    return false;
  }
}

bool modelConfigFromMetadata(const QuarnMetadata &meta, std::string &modelConfig) {
  try {
    return writeConfig(meta, modelConfig);
  } catch (const std::exception &e) {
    std::cerr << "Unable to write model config: " << e.what() << "\n";
    return false;
  }
}

}  // namespace qx::quarn_tools
