// Describing a decoded asset for people (a short summary) and for tools (JSON; with
// full set, every value, so two assets can be diffed with ordinary tools).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "reader/asset_reader.h"

namespace qx::examine {

std::string Summary(const std::string& path, const reader::AssetFile& asset);

nlohmann::ordered_json ToJson(const std::string& path, const reader::AssetFile& asset, bool full);

}  // namespace qx::examine
