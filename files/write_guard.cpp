#include "files/write_guard.h"

namespace qx {

void WriteGuard::AddRead(const std::string& path, const std::string& words) {
  Entry entry;
  if (!platform::IdentifyPath(path, &entry.identity)) return;
  for (const Entry& other : entries_) {
    if (other.claim < 0 && other.identity == entry.identity) return;
  }
  entry.known = true;
  entry.words = words;
  entries_.push_back(entry);
}

int WriteGuard::Claim(const std::string& label, const std::string& path, const std::string& words,
                      bool renameMayReplaceRead, std::string* refusal) {
  const int claim = static_cast<int>(outputs_.size());
  outputs_.push_back({label, path, renameMayReplaceRead});
  Entry entry;
  entry.known = platform::IdentifyPath(path, &entry.identity);
  entry.words = words;
  entry.claim = claim;
  if (entry.known && !Permits(claim, entry.identity, false, refusal)) {
    outputs_.pop_back();
    return -1;
  }
  entries_.push_back(entry);
  return claim;
}

bool WriteGuard::Permits(int claim, const platform::FileIdentity& file, bool inPlace,
                         std::string* refusal) const {
  const Output& output = outputs_.at(static_cast<std::size_t>(claim));
  for (const Entry& entry : entries_) {
    if (!entry.known || entry.claim == claim || !(entry.identity == file)) continue;
    if (entry.claim < 0 && output.renameMayReplaceRead && !inPlace) continue;
    *refusal = output.label + " " + output.path + joint_ + entry.words + (inPlace ? inPlaceNote_ : "");
    return false;
  }
  return true;
}

}  // namespace qx
