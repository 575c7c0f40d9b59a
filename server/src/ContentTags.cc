#include "ContentTags.hh"

namespace qx::quarn_server {

std::string ContentTags::Of(const std::string &path, const OpenFile &file) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto known = known_.find(path);
    if (known != known_.end() && known->second.identity == file.Tag()) return known->second.tag;
  }
  const std::string tag = file.ContentTag();
  if (!tag.empty()) Remember(path, file.Tag(), tag);
  return tag;
}

void ContentTags::Remember(const std::string &path, const std::string &identity,
                           const std::string &tag) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (known_.size() >= kMaxEntries && known_.count(path) == 0) known_.clear();
  known_[path] = Known{identity, tag};
}

void ContentTags::ForgetBelow(const std::string &dir, const std::string &keep) {
  const std::string prefix = dir + "/";
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = known_.lower_bound(prefix);
       it != known_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
    if (it->first == keep)
      ++it;
    else
      it = known_.erase(it);
  }
}

}  // namespace qx::quarn_server
