#include "support/GeneratedModels.hh"

#include <random>

#include "support/TestSupport.hh"

namespace qx::test {

std::string WriteModel(const std::string &root, const std::string &owner, const std::string &name,
                       int version, int files, std::size_t fileSize) {
  const std::string dir = root + "/" + owner + "/models/" + name + "/" + std::to_string(version);
  WriteFile(dir + "/model.config", "<?xml version='1.0'?>\n<model><name>" + name +
                                       "</name><sdf version='1.9'>model.sdf</sdf></model>\n");
  WriteFile(dir + "/model.sdf",
            "<sdf version='1.9'><model name='" + name +
                "'><link name='l'><visual name='v'><geometry><mesh><uri>model://" + name +
                "/meshes/0/f0.bin</uri></mesh></geometry></visual></link></model></sdf>\n");
  std::mt19937_64 random(static_cast<unsigned long>(version) * 7919u + files);
  for (int i = 0; i < files; ++i) {
    std::string content(fileSize, '\0');
    for (char &c : content) c = static_cast<char>(random());
    WriteFile(dir + "/meshes/" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".bin",
              content);
  }
  return dir;
}

std::map<std::string, std::string> ContentWithoutSdf(const std::string &directory) {
  std::map<std::string, std::string> files = TreeFiles(directory);
  files.erase("model.sdf");
  return files;
}

}  // namespace qx::test
