// .blend sources: Assimp cannot read the files of Blender 2.8 and later, so Blender
// itself, run in the background, exports the scene as glTF, which the usual importer
// then reads. Blender runs isolated (its own HOME and TMPDIR, factory settings, no
// audio) and never runs Python stored in the .blend.
#pragma once

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

  // False with *error in words: no Blender, or Blender's own failure (its last error
  // line). seconds bounds Blender's run (0: no bound).
  bool Run(const std::string& source, format::AssetKind kind, const std::string& blender,
           unsigned seconds, std::string* error);
  const std::string& glb() const { return glb_; }
  // Every file the .blend uses that exists (linked libraries, images), absolute.
  const std::vector<std::string>& used() const { return used_; }

 private:
  std::string folder_;
  std::string glb_;
  std::vector<std::string> used_;
};

}  // namespace qx
