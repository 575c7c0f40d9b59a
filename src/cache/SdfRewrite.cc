#include "SdfRewrite.hh"

#include <tinyxml2.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/math/SemanticVersion.hh>

#include "CacheNames.hh"
#include "ConfinedPath.hh"
#include "FailureNotes.hh"
#include "WorkCounters.hh"

namespace qx::quarn_tools::internal {
namespace {

namespace fs = qx::common;

tinyxml2::XMLElement *first(tinyxml2::XMLElement *parent, const char *name) {
  return parent ? parent->FirstChildElement(name) : nullptr;
}

// Iterates the child elements `name` of `parent` (none for a null parent).
template <typename Visit>
void eachChild(tinyxml2::XMLElement *parent, const char *name, Visit visit) {
  for (tinyxml2::XMLElement *child = first(parent, name); child != nullptr;
       child = child->NextSiblingElement(name)) {
    visit(child);
  }
}

// Points the "model://" references of one SDF document at the model's files
// on its server.
class SdfRewriter {
 public:
  SdfRewriter(const ModelIdentifier &id, const std::string &sdfPath) : id_(id), sdfPath_(sdfPath) {}

  void Rewrite(tinyxml2::XMLElement *root) {
    eachChild(root, "model", [this](tinyxml2::XMLElement *model) {
      eachChild(model, "link", [this](tinyxml2::XMLElement *link) { Link(link); });
    });
    eachChild(root, "actor", [this](tinyxml2::XMLElement *actor) {
      eachChild(actor, "skin",
                [this](tinyxml2::XMLElement *skin) { Uri(first(skin, "filename")); });
      eachChild(actor, "animation",
                [this](tinyxml2::XMLElement *animation) { Uri(first(animation, "filename")); });
    });
  }

 private:
  void Link(tinyxml2::XMLElement *link) {
    eachChild(link, "collision", [this](tinyxml2::XMLElement *collision) {
      Uri(first(first(first(collision, "geometry"), "mesh"), "uri"));
    });
    eachChild(link, "visual", [this](tinyxml2::XMLElement *visual) {
      Uri(first(first(first(visual, "geometry"), "mesh"), "uri"));
      Material(first(visual, "material"));
    });
  }

  void Material(tinyxml2::XMLElement *material) {
    eachChild(first(material, "script"), "uri", [this](tinyxml2::XMLElement *uri) { Uri(uri); });
    tinyxml2::XMLElement *pbr = first(material, "pbr");
    Workflow(first(pbr, "metal"), {"metalness_map", "roughness_map"});
    Workflow(first(pbr, "specular"), {"specular_map", "glossiness_map"});
  }

  void Workflow(tinyxml2::XMLElement *workflow, std::initializer_list<const char *> own) {
    for (const char *map :
         {"albedo_map", "normal_map", "environment_map", "emissive_map", "light_map"})
      Uri(first(workflow, map));
    for (const char *map : own) Uri(first(workflow, map));
  }

  void Uri(tinyxml2::XMLElement *element) {
    if (element == nullptr) return;
    if (element->GetText() == nullptr) {
      qxerr << "Element <" << element->Name() << "> without text in SDF file [" << sdfPath_
            << "]\n";
      return;
    }
    const std::optional<std::string> rewritten =
        ReferenceInVersion(id_, element->GetText(), sdfPath_);
    if (rewritten) element->SetText(rewritten->c_str());
  }

  const ModelIdentifier &id_;
  const std::string &sdfPath_;
};

// The <sdf> element of model.config naming the main SDF file: the highest
// version; without a version attribute an element counts as 0.0.1.
tinyxml2::XMLElement *mainSdfElement(tinyxml2::XMLElement *model) {
  tinyxml2::XMLElement *chosen = nullptr;
  qx::math::SemanticVersion highest("0.0");
  eachChild(model, "sdf", [&](tinyxml2::XMLElement *sdf) {
    qx::math::SemanticVersion version("0.0.1");
    if (const char *attribute = sdf->Attribute("version")) {
      version.Parse(attribute);
    } else {
      qxwarn << "<sdf> element missing version attribute, assuming version [" << version.Version()
             << "]\n";
    }
    if (version > highest) {
      highest = version;
      chosen = sdf;
    }
  });
  return chosen;
}

// Model files larger than this are not loaded.
constexpr std::size_t kMaxDocumentBytes = std::size_t{1} << 30;

// A directory being worked on, and the name log lines give it: a version
// is rewritten in its staging directory, but people know it by the version
// directory it becomes.
struct Place {
  const Directory &dir;
  std::string shown;

  std::string Shown(const std::string &relative) const { return fs::joinPaths(shown, relative); }
};

// Loads the file `name` of `parent`, not through a link.
bool loadDocument(const Directory &parent, const std::string &name,
                  tinyxml2::XMLDocument &document) {
  std::string text;
  return ReadFileAt(parent, name, kMaxDocumentBytes, text) == 0 &&
         document.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS;
}

// The main SDF file (relative to the directory) named by its model.config
// (`text` when the caller read it already), confined to the directory;
// nothing (having said why) when there is none.
std::optional<std::string> mainSdfFile(const Place &place, const std::string *text) {
  const std::string configPath = place.Shown(cache::kModelConfigFile);
  tinyxml2::XMLDocument config(true, tinyxml2::PRESERVE_WHITESPACE);
  if (text == nullptr) countModelConfigRead();
  const bool loaded = text != nullptr
                          ? config.Parse(text->data(), text->size()) == tinyxml2::XML_SUCCESS
                          : loadDocument(place.dir, cache::kModelConfigFile, config);
  if (!loaded) {
    qxerr << "Unable to load model.config file[" << configPath << "]\n";
    return std::nullopt;
  }
  tinyxml2::XMLElement *model = config.FirstChildElement("model");
  if (model == nullptr) {
    qxerr << "model.config file [" << configPath << "] has no <model> element\n";
    return std::nullopt;
  }
  tinyxml2::XMLElement *sdf = mainSdfElement(model);
  if (sdf == nullptr || sdf->GetText() == nullptr) {
    qxerr << "model.config file [" << configPath << "] names no SDF file\n";
    return std::nullopt;
  }
  // White space around the name is not part of it, as for the metadata.
  std::string name = sdf->GetText();
  name.erase(0, name.find_first_not_of(" \t\r\n\f\v"));
  name.erase(name.find_last_not_of(" \t\r\n\f\v") + 1);
  const std::optional<std::string> relative = confinedPath(name);
  if (!relative || relative->empty()) {
    qxerr << "model.config file [" << configPath << "] names an SDF file outside [" << place.shown
          << "]: " << name << "\n";
    return std::nullopt;
  }
  return *relative;
}

// Writes the document to a new file beside `name` and renames it over
// `name`, so the old file is replaced whole and never written through.
bool saveDocument(tinyxml2::XMLDocument &document, const Directory &parent, const std::string &name,
                  FileSystem &fileSystem, std::string &error) {
  tinyxml2::XMLPrinter printer(nullptr, false);
  document.Print(&printer);
  const std::string temp = cache::NewPartFileName();
  std::unique_ptr<WritableFile> file;
  int code = fileSystem.CreateFileAt(parent, temp, file);
  if (code == 0)
    code = file->Append(printer.CStr(), static_cast<std::size_t>(printer.CStrSize() - 1));
  if (code == 0) code = file->Close();
  if (code == 0) code = fileSystem.RenameAt(parent, temp, parent, name);
  if (code == 0) return true;
  if (file) fileSystem.RemoveAllAt(parent, temp);
  error = ErrorText(code);
  return false;
}

RewrittenSdf skipped() { return RewrittenSdf(); }

}  // namespace

std::optional<std::string> ReferenceInVersion(const ModelIdentifier &id, const std::string &text,
                                              const std::string &sdfPath) {
  const std::string scheme = "model://";
  if (text.compare(0, scheme.size(), scheme) != 0) return std::nullopt;
  // The referenced model's name has at least one character.
  const size_t slash = text.find('/', scheme.size() + 1);
  if (slash == std::string::npos) {
    qxerr << "Unable to rewrite [" << text << "] in SDF file [" << sdfPath
          << "]: no file path after the model name\n";
    return std::nullopt;
  }
  const std::string referenced = text.substr(scheme.size(), slash - scheme.size());
  if (referenced != id.Name()) {
    qxdbg << "Model [" << id.Name() << "] loading resource from another model, named ["
          << referenced << "]. On Varnel (qx-quarn-tools 3) and Osprin "
          << "(qx-quarn-tools 4), [" << referenced << "] is ignored. "
          << "From Tarsk (qx-quarn-tools 5), [" << id.Name() << "] will be used. If [" << referenced
          << "] is not a model belonging to owner [" << id.Owner() << "], fix your SDF file!\n";
  }
  return id.Server().Url().Str() + "/" + id.Server().Version() + "/" + id.Owner() + "/models/" +
         id.Name() + "/" + id.VersionStr() + "/files" + text.substr(slash);
}

RewrittenSdf RewriteModelSdf(const ModelIdentifier &id, const Directory &dir,
                             FileSystem &fileSystem, const std::string &shownDir,
                             const std::string *modelConfig) {
  const Place place{dir, shownDir.empty() ? dir.Path() : shownDir};
  PathStatus config;
  if (modelConfig == nullptr &&
      (fileSystem.StatusAt(dir, cache::kModelConfigFile, config) != 0 || !config.exists)) {
    qxerr << "model.config file does not exist in [" << place.shown << ".\n";
    return skipped();
  }
  const std::optional<std::string> sdfFile = mainSdfFile(place, modelConfig);
  if (!sdfFile) return skipped();
  const std::string shownPath = place.Shown(*sdfFile);
  const std::string name = fs::basename(*sdfFile);
  std::unique_ptr<Directory> parent;
  std::string failed;
  PathStatus status;
  if (OpenBelow(fileSystem, dir, fs::parentPath(*sdfFile), false, parent, failed) != 0 ||
      fileSystem.StatusAt(*parent, name, status) != 0) {
    qxerr << "Unable to load SDF file[" << shownPath << "]\n";
    return skipped();
  }
  if (status.link) {
    qxerr << "Refusing to rewrite SDF file [" << shownPath << "]: it is a symbolic link\n";
    return skipped();
  }

  tinyxml2::XMLDocument sdf(true, tinyxml2::PRESERVE_WHITESPACE);
  if (!loadDocument(*parent, name, sdf)) {
    qxerr << "Unable to load SDF file[" << shownPath << "]\n";
    return skipped();
  }
  SdfRewriter(id, shownPath).Rewrite(sdf.FirstChildElement());
  std::string error;
  if (saveDocument(sdf, *parent, name, fileSystem, error))
    return RewrittenSdf{RewrittenSdf::Outcome::kRewritten, *sdfFile};
  qxerr << "Unable to save SDF file[" << shownPath << "]: " << error << "\n";
  NoteCacheFailure("save SDF file", shownPath, error);
  return RewrittenSdf{RewrittenSdf::Outcome::kFailed, ""};
}

RewrittenSdf RewriteModelSdf(const ModelIdentifier &id, const std::string &dir,
                             FileSystem &fileSystem, const std::string &shownDir) {
  std::unique_ptr<Directory> opened;
  const int error = fileSystem.OpenDirectory(dir, opened);
  if (error != 0) {
    qxerr << "model.config file does not exist in [" << (shownDir.empty() ? dir : shownDir)
          << ".\n";
    return skipped();
  }
  return RewriteModelSdf(id, *opened, fileSystem, shownDir);
}

}  // namespace qx::quarn_tools::internal
