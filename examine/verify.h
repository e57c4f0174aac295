// Checking an asset against its source: the source is converted again, exactly as
// QXConvert would, and the two are compared field by field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/asset_reader.h"

namespace qx::examine {

// True when the asset (decoded from file, the asset file's bytes) holds what converting
// sourcePath gives. Otherwise false, with *difference naming the first field that differs (or
// why the source could not be converted). Meshes are compared with the face sizes of
// the source scene, which an ambiguous file cannot tell by itself. bake converts as
// -bake does, for an asset that was converted so.
bool VerifyAgainstSource(const reader::AssetFile& asset, const std::vector<std::uint8_t>& file,
                         const std::string& sourcePath, std::string* difference, bool bake = false);

// The first difference between two decoded assets, or empty when they are equal.
// Values are compared bit for bit.
std::string FirstDifference(const reader::AssetFile& asset, const reader::AssetFile& source);

}  // namespace qx::examine
