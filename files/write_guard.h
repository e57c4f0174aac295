// WriteGuard: the one check that every path a run writes goes through. It holds every
// file the run read and every output it claimed, by file identity (another spelling,
// a symlink, a hard link or a bind mount of a file is that file), and refuses an
// output that would replace or write into one of them. A claim is checked before
// anything is written; OutputFile asks again right before its rename and right before
// a copy over an existing file, about the very file it is about to replace or opened.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace qx {

class WriteGuard {
 public:
  // A refusal reads: label, " ", the output's path, joint, the other file's words, and
  // for a write in place also inPlaceNote.
  WriteGuard(std::string joint, std::string inPlaceNote)
      : joint_(std::move(joint)), inPlaceNote_(std::move(inPlaceNote)) {}

  // A file the run read, called words in refusals ("the input a.obj"). Its identity is
  // taken now; one already held (the same file by another name) is not added twice,
  // and one that can no longer be examined (gone since) is left out: nothing of it is
  // left to overwrite.
  void AddRead(const std::string& path, const std::string& words);

  // Claims an output: a number for OutputFile::Open, or -1 with *refusal when it is a
  // file the run read or an output claimed before (a path that cannot be examined
  // passes: opening it fails with its own error). Later outputs that clash with this
  // one are refused with words. With renameMayReplaceRead (the asset over its own
  // input, as asked) it is never refused for a file read, except where it would be
  // written in place, which would change that file rather than replace its name.
  int Claim(const std::string& label, const std::string& path, const std::string& words,
            bool renameMayReplaceRead, std::string* refusal);

  // Whether claim may replace (inPlace false) or be written into (true) the file with
  // that identity; false with *refusal when not.
  bool Permits(int claim, const platform::FileIdentity& file, bool inPlace,
               std::string* refusal) const;

 private:
  struct Entry {
    platform::FileIdentity identity;
    bool known = false;  // an output whose path could not be examined
    std::string words;
    int claim = -1;  // the claim's number, -1 for a file read
  };
  struct Output {
    std::string label;
    std::string path;
    bool renameMayReplaceRead = false;
  };

  std::string joint_;
  std::string inPlaceNote_;
  std::vector<Entry> entries_;  // in the order added: the first clash names the refusal
  std::vector<Output> outputs_;
};

}  // namespace qx
