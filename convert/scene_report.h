// What a conversion keeps of a scene and what it does not carry, for the report.
#pragma once

#include <assimp/scene.h>

#include "format/asset_format.h"
#include "report/report.h"

namespace qx {

// source: the imported scene; encoded: what went into the payload (the baked meshes
// with -bake, else the source itself). Fills meshes or animations and the findings.
void DescribeScene(const aiScene& source, const aiScene& encoded, format::AssetKind kind,
                   bool baked, report::Scene* out);

}  // namespace qx
