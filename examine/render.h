// Pictures of an asset without a browser or a GPU, for thumbnails in asset browsers,
// pull-request bots and CI reports: a model drawn by a small software rasteriser
// (depth buffer, shading from the surface's facing, camera framed on the bounds), a
// texture's source image scaled to fit, an animation's channel curves, the waveform of
// a sound or music in PCM WAV. The background is transparent; the same asset always
// gives the same pixels.
#pragma once

#include <string>

#include "examine/image.h"
#include "files/write_guard.h"
#include "reader/asset_reader.h"
#include "report/report.h"

namespace qx::examine {

// Draws the asset into a size x size image. False with *error for an asset with
// nothing to draw (a model without triangles, lines or points; a texture whose bytes
// are no image stb_image decodes; an animation without keys; music or sound in any
// format but PCM WAV). An animation's report, when given, names the channel drawn, and
// its skeleton is drawn beside the curves, posed at `seconds` (at the report's tick
// rate, 25 when the source does not say); without one the time is not used.
bool RenderAsset(const reader::AssetFile& asset, int size, Image* image, std::string* error,
                 const report::Report* report = nullptr, double seconds = 0);

// Writes the image as PNG through the checked, atomic writer, claimed from guard.
bool WritePng(const Image& image, const std::string& path, WriteGuard& guard, std::string* error);

}  // namespace qx::examine
