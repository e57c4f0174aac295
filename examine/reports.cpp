#include "examine/reports.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace qx::examine {
namespace {

namespace fs = std::filesystem;

bool ReadText(const std::string& path, std::string* text, std::string* error) {
  std::ifstream file(fs::u8path(path), std::ios::binary);
  if (!file) {
    *error = "cannot open the report " + path;
    return false;
  }
  std::ostringstream content;
  content << file.rdbuf();
  *text = content.str();
  return true;
}

bool SizeAndChecksum(const std::string& path, std::uint64_t* size, std::uint32_t* crc) {
  std::ifstream file(fs::u8path(path), std::ios::binary);
  if (!file) return false;
  std::vector<char> slice(1 << 20);
  uLong sum = crc32(0, nullptr, 0);
  *size = 0;
  while (file) {
    file.read(slice.data(), static_cast<std::streamsize>(slice.size()));
    const auto got = static_cast<std::size_t>(file.gcount());
    sum = crc32(sum, reinterpret_cast<const Bytef*>(slice.data()), static_cast<uInt>(got));
    *size += got;
  }
  *crc = static_cast<std::uint32_t>(sum);
  return !file.bad();
}

std::string Seconds(double ticks, double ticksPerSecond) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f s", ticks / ticksPerSecond);
  return text;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Rate(double ticksPerSecond) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", ticksPerSecond);
  return text;
}

void AnimationLines(const report::Report& r, const reader::AssetFile& asset, std::string& out) {
  for (std::size_t a = 0; a < r.scene.animations.size() && a < asset.animations.size(); ++a) {
    const report::Animation& animation = r.scene.animations[a];
    const double rate = animation.ticksPerSecond;
    out += "  animation " + std::to_string(a) + " " + Quoted(animation.name) + ": ";
    if (rate > 0 && std::isfinite(rate)) {
      out += std::to_string(static_cast<long long>(animation.duration)) + " ticks at " +
             Rate(rate) + " per second, " + Seconds(animation.duration, rate) + "\n";
    } else {
      out += "the source gives no tick rate\n";
    }
    const auto& channels = asset.animations[a].channels;
    for (std::size_t c = 0; c < animation.channels.size() && c < channels.size(); ++c) {
      const reader::Channel keys = channels[c];
      out += "    channel " + std::to_string(c) + " " + Quoted(animation.channels[c].node) + ": " +
             std::to_string(keys.positions.size()) + " position / " +
             std::to_string(keys.scalings.size()) + " scaling / " +
             std::to_string(keys.rotations.size()) + " rotation keys";
      double last = 0;
      for (const reader::KeySpan* span : {&keys.positions, &keys.scalings, &keys.rotations}) {
        for (const reader::Key& k : *span) {
          if (std::isfinite(k.time)) last = std::max(last, k.time);
        }
      }
      if (rate > 0 && std::isfinite(rate)) out += ", last key at " + Seconds(last, rate);
      out += "\n";
    }
  }
}

void MeshLines(const report::Report& r, std::string& out) {
  for (std::size_t m = 0; m < r.scene.meshes.size(); ++m) {
    const report::Mesh& mesh = r.scene.meshes[m];
    if (mesh.material.empty() && mesh.textures.empty()) continue;
    out += "  mesh " + std::to_string(m) + " material " + Quoted(mesh.material);
    for (std::size_t t = 0; t < mesh.textures.size(); ++t) {
      out += (t == 0 ? ", textures " : ", ") + Quoted(mesh.textures[t]);
    }
    out += "\n";
  }
}

std::string FindingsLine(const std::vector<report::Finding>& findings) {
  std::string line;
  for (const report::Finding& f : findings) {
    line += (line.empty() ? "" : ", ") + f.kind + " " + std::to_string(f.count);
  }
  return line;
}

}  // namespace

bool LoadReportOf(const std::string& assetPath, const std::string& reportPath,
                  report::Report* r, std::string* error) {
  std::string text;
  if (!ReadText(reportPath, &text, error)) return false;
  if (!report::FromJson(text, r, error)) {
    *error = "the report " + reportPath + " cannot be read: " + *error;
    return false;
  }
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  if (!SizeAndChecksum(assetPath, &size, &crc)) {
    *error = "cannot read " + assetPath + " to match it with its report";
    return false;
  }
  if (size != r->outputSize || crc != r->outputCrc32) {
    *error = "the report " + reportPath + " belongs to another file: it describes " +
             std::to_string(r->outputSize) + " bytes with CRC-32 " + std::to_string(r->outputCrc32) +
             ", this file is " + std::to_string(size) + " bytes with CRC-32 " + std::to_string(crc);
    return false;
  }
  return true;
}

std::string ReportSummary(const report::Report& r, const reader::AssetFile& asset) {
  std::string out = "  converted from " + r.input + " by " + r.tool + " " + r.toolVersion +
                    (r.baked ? ", placement baked" : "") + "\n";
  if (asset.kind == reader::AssetKind::Animation) AnimationLines(r, asset, out);
  if (asset.kind == reader::AssetKind::Model) MeshLines(r, out);
  for (const report::Finding& f : r.scene.notCarried) {
    out += "  not carried: " + f.kind + " " + std::to_string(f.count) + ": " + f.text + "\n";
  }
  for (const report::Finding& f : r.scene.warnings) {
    out += "  warning: " + f.kind + " " + std::to_string(f.count) + ": " + f.text + "\n";
  }
  return out;
}

bool SummariseReports(const std::string& folder, const std::vector<std::string>& failOn,
                      std::string* text, std::vector<std::string>* failed, std::string* error) {
  for (const std::string& kind : failOn) {
    const auto& kinds = report::FindingKinds();
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) {
      *error = "--fail-on: unknown kind " + kind;
      return false;
    }
  }
  std::error_code code;
  std::vector<fs::path> paths;
  for (fs::directory_iterator it(fs::u8path(folder), code), end; !code && it != end; it.increment(code)) {
    if (it->path().extension() == ".json") paths.push_back(it->path());
  }
  if (code) {
    *error = "cannot list " + folder + ": " + code.message();
    return false;
  }
  std::sort(paths.begin(), paths.end());
  for (const fs::path& path : paths) {
    const std::string name = path.u8string();
    std::string content, why;
    report::Report r;
    if (!ReadText(name, &content, &why) || !report::FromJson(content, &r, &why)) continue;
    const std::string notCarried = FindingsLine(r.scene.notCarried);
    const std::string warnings = FindingsLine(r.scene.warnings);
    *text += r.output + ": " + (notCarried.empty() ? "everything carried" : "not carried: " + notCarried) +
             (warnings.empty() ? "" : "; warnings: " + warnings) + "\n";
    bool fails = false;
    for (const auto* list : {&r.scene.notCarried, &r.scene.warnings}) {
      for (const report::Finding& f : *list) {
        fails = fails || std::find(failOn.begin(), failOn.end(), f.kind) != failOn.end();
      }
    }
    if (fails) failed->push_back(name);
  }
  return true;
}

}  // namespace qx::examine
