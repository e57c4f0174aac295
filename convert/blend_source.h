// .blend sources: Assimp cannot read the files of Blender 2.8 and later, so Blender
// itself, run in the background, exports the scene as glTF, which the usual importer
// then reads. Blender runs isolated (its own HOME and TMPDIR, factory settings, no
// audio), never runs Python stored in the .blend, and may write only in its private
// temporary folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/asset_format.h"

namespace qx {

// By extension, in any case.
bool IsBlendFile(const std::string& path);

// The Blender to run: the path named (by -blender=), else QX_BLENDER, else blender on
// PATH; empty when there is none.
std::string FindBlender(const std::string& named);

// One export, in a private temporary folder that goes with the object.
class BlendExport {
 public:
  BlendExport() = default;
  ~BlendExport();
  BlendExport(const BlendExport&) = delete;
  BlendExport& operator=(const BlendExport&) = delete;

  // False with *error in words: no Blender, no sandbox for it, or Blender's own failure
  // (its last error line). seconds and memoryBytes bound Blender's run (0: no bound);
  // past the memory bound it throws std::bad_alloc. A missing linked library is named
  // on standard error.
  bool Run(const std::string& source, format::AssetKind kind, const std::string& blender,
           unsigned seconds, std::uint64_t memoryBytes, std::string* error);
  const std::string& glb() const { return glb_; }
  // Every file the .blend uses that exists (linked libraries, images), and every linked
  // library that is missing, absolute.
  const std::vector<std::string>& used() const { return used_; }

 private:
  std::string folder_;
  std::string glb_;
  std::vector<std::string> used_;
};

}  // namespace qx
