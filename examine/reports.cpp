#include "examine/reports.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <system_error>

#include "examine/json_writer.h"
#include "platform/platform.h"

namespace qx::examine {
namespace {

namespace fs = std::filesystem;

// A report is a few kilobytes to a few megabytes; past this it is not one, and reading
// it whole (a link to /dev/zero, a huge file named *.json) would only exhaust memory.
constexpr std::int64_t kMostReportBytes = std::int64_t{64} << 20;

// Reads a report from a regular file only: a FIFO or device named *.json is refused
// without waiting on it.
bool ReadText(const std::string& path, std::string* text, std::string* error) {
  std::int64_t size = 0;
  bool regular = true;
  int code = 0;
  std::FILE* file = platform::OpenRegularFile(path, &size, &regular, &code);
  if (file == nullptr) {
    *error = regular ? "cannot open the report " + Printable(path) + ": " + std::strerror(code)
                     : "the report " + Printable(path) + " is not a regular file";
    return false;
  }
  std::string content(static_cast<std::size_t>(std::min(size, kMostReportBytes)) + 1, '\0');
  // One byte past the bound tells a file that grew since it was measured.
  const std::size_t got = std::fread(&content[0], 1, content.size(), file);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *error = "cannot read the report " + Printable(path);
    return false;
  }
  if (size > kMostReportBytes || got > static_cast<std::size_t>(kMostReportBytes)) {
    *error = "the report " + Printable(path) + " is larger than " +
             std::to_string(kMostReportBytes >> 20) + " MiB, more than any report holds";
    return false;
  }
  content.resize(got);
  *text = std::move(content);
  return true;
}

// The asset was read once already: a FIFO or device would block or give other bytes
// the second time, so only a regular file is matched with its report.
bool SizeAndChecksum(const std::string& path, std::uint64_t* size, std::uint32_t* crc,
                     std::string* why) {
  std::int64_t measured = 0;
  bool regular = true;
  int code = 0;
  std::FILE* file = platform::OpenRegularFile(path, &measured, &regular, &code);
  if (file == nullptr) {
    *why = regular ? std::strerror(code) : "it is not a regular file";
    return false;
  }
  std::vector<char> slice(1 << 20);
  uLong sum = crc32(0, nullptr, 0);
  *size = 0;
  for (std::size_t got; (got = std::fread(slice.data(), 1, slice.size(), file)) > 0;) {
    sum = crc32(sum, reinterpret_cast<const Bytef*>(slice.data()), static_cast<uInt>(got));
    *size += got;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  *crc = static_cast<std::uint32_t>(sum);
  if (failed) *why = "a read failed";
  return !failed;
}

std::string Seconds(double ticks, double ticksPerSecond) {
  char text[64];
  const double seconds = ticks / ticksPerSecond;
  std::snprintf(text, sizeof text, std::fabs(seconds) < 1e9 ? "%.3f s" : "%.6g s", seconds);
  return text;
}

// Any double, also one no integer type holds.
std::string Ticks(double ticks) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", ticks);
  return text;
}

std::string Rate(double ticksPerSecond) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", ticksPerSecond);
  return text;
}

void AnimationLines(const report::Report& r, const reader::AssetFile& asset, std::string& out) {
  for (std::size_t a = 0; a < r.scene.animations.size() && a < asset.animations.size(); ++a) {
    const report::Animation& animation = r.scene.animations[a];
    const double rate = animation.ticksPerSecond;
    out += "  animation " + std::to_string(a) + " " + JsonQuoted(animation.name) + ": ";
    if (rate > 0 && std::isfinite(rate)) {
      out += Ticks(animation.duration) + " ticks at " +
             Rate(rate) + " per second, " + Seconds(animation.duration, rate) + "\n";
    } else {
      out += "the source gives no tick rate\n";
    }
    const auto& channels = asset.animations[a].channels;
    for (std::size_t c = 0; c < animation.channels.size() && c < channels.size(); ++c) {
      const reader::Channel keys = channels[c];
      out += "    channel " + std::to_string(c) + " " + JsonQuoted(animation.channels[c].node) + ": " +
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
    out += "  mesh " + std::to_string(m) + " material " + JsonQuoted(mesh.material);
    for (std::size_t t = 0; t < mesh.textures.size(); ++t) {
      out += (t == 0 ? ", textures " : ", ") + JsonQuoted(mesh.textures[t]);
    }
    out += "\n";
  }
}

std::string FindingsLine(const std::vector<report::Finding>& findings) {
  std::string line;
  for (const report::Finding& f : findings) {
    line += (line.empty() ? "" : ", ") + Printable(f.kind) + " " + std::to_string(f.count);
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
  std::string why;
  if (!SizeAndChecksum(assetPath, &size, &crc, &why)) {
    *error = "cannot read " + assetPath + " to match it with its report: " + why;
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
  std::string out = "  converted from " + Printable(r.input) + " by " + Printable(r.tool) + " " +
                    Printable(r.toolVersion) +
                    (r.baked ? ", placement baked" : "") + "\n";
  if (asset.kind == reader::AssetKind::Animation) {
    AnimationLines(r, asset, out);
    if (!r.scene.skeleton.empty()) {
      std::size_t animated = 0;
      for (const report::Node& node : r.scene.skeleton) animated += node.animated;
      out += "  skeleton: " + std::to_string(r.scene.skeleton.size()) + " nodes, " + std::to_string(animated) +
             " moved by channels, root " + JsonQuoted(r.scene.skeleton[0].name) + " (--render --time poses it)\n";
    }
  }
  if (asset.kind == reader::AssetKind::Model) MeshLines(r, out);
  for (const report::Finding& f : r.scene.notCarried) {
    out += "  not carried: " + Printable(f.kind) + " " + std::to_string(f.count) + ": " + Printable(f.text) + "\n";
  }
  for (const report::Finding& f : r.scene.warnings) {
    out += "  warning: " + Printable(f.kind) + " " + std::to_string(f.count) + ": " + Printable(f.text) + "\n";
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
    bool foreign = false;
    if (!ReadText(name, &content, &why)) {
      failed->push_back(why);
      continue;
    }
    if (!report::FromJson(content, &r, &why, &foreign)) {
      // Other JSON may sit beside reports; a report that cannot be read fails the gate.
      if (!foreign) failed->push_back("the report " + Printable(name) + " cannot be read: " + why);
      continue;
    }
    const std::string notCarried = FindingsLine(r.scene.notCarried);
    const std::string warnings = FindingsLine(r.scene.warnings);
    *text += Printable(r.output) + ": " + (notCarried.empty() ? "everything carried" : "not carried: " + notCarried) +
             (warnings.empty() ? "" : "; warnings: " + warnings) + "\n";
    bool fails = false;
    for (const auto* list : {&r.scene.notCarried, &r.scene.warnings}) {
      for (const report::Finding& f : *list) {
        fails = fails || std::find(failOn.begin(), failOn.end(), f.kind) != failOn.end();
      }
    }
    if (fails) failed->push_back(Printable(name) + ": has a finding named in --fail-on");
  }
  return true;
}

}  // namespace qx::examine
