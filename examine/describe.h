// Describing a decoded asset for people (a short summary) and for tools (JSON; with
// full set, every value, so two assets can be diffed with ordinary tools).
#pragma once

#include <string>

#include "examine/json_writer.h"
#include "reader/asset_reader.h"

namespace qx::examine {

std::string Summary(const std::string& path, const reader::AssetFile& asset);

// Writes one JSON object for the asset as it goes.
void WriteJson(JsonWriter& json, const std::string& path, const reader::AssetFile& asset,
               bool full);

}  // namespace qx::examine
