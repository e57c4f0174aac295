// .blend sources that Assimp cannot read (those of Blender 2.80 and later), or any when
// the user names a Blender: Blender itself, run in the background, exports the scene
// as glTF, which the usual importer then reads. Blender runs isolated (its own HOME
// and TMPDIR, factory settings, no audio, an environment without the caller's Python
// settings), never runs Python stored in the .blend, and may write only in its private
// temporary folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/asset_format.h"
#include "report/report.h"

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
  // Puts into a report of the export's import what the export hid: textures named as
  // the .blend names them, not as embedded copies, and the cameras, lights and (for a
  // model) shape keys the export left out, as findings.
  void Describe(format::AssetKind kind, report::Scene* scene) const;

 private:
  struct Image {
    std::string material;
    bool packed = false;
    std::string path;
  };
  std::string folder_;
  std::string glb_;
  std::vector<std::string> used_;
  std::vector<Image> images_;
  std::vector<std::string> cameras_, lights_, shapeKeys_;
};

}  // namespace qx
