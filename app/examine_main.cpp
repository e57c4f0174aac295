// QXInspect: looks inside asset files, checks them, and gets their content back out.
// Exit codes: 0 success, 1 an invalid file or a failed check, 2 a usage error.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "app/version.h"
#include "examine/describe.h"
#include "examine/render.h"
#include "examine/reports.h"
#include "examine/verify.h"
#include "examine/write_out.h"
#include "platform/platform.h"
#include "reader/asset_reader.h"

namespace {

constexpr int kInvalid = 1;
constexpr int kUsage = 2;

struct Options {
  std::vector<std::string> files;
  bool json = false;
  bool full = false;
  std::string extract;
  std::string exportPath;
  std::string verify;
  bool bake = false;
  std::string render;
  int size = 512;
  double time = 0;
  std::string report;
  std::string reportsFolder;
  std::vector<std::string> failOn;
};

void PrintFileError(const std::string& path, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "QXInspect: %s: %s\n", path.c_str(), message.c_str());
}

int SummariseReports(const Options& options) {
  std::string text, error;
  std::vector<std::string> failed;
  if (!qx::examine::SummariseReports(options.reportsFolder, options.failOn, &text, &failed, &error)) {
    std::fprintf(stderr, "QXInspect: %s\n", error.c_str());
    return kUsage;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  for (const std::string& why : failed) std::fprintf(stderr, "QXInspect: %s\n", why.c_str());
  return failed.empty() ? 0 : kInvalid;
}

// The report the build wrote beside the asset (FILE.json), or the one --report names.
// False with *error when there is one and it cannot be read or is another file's;
// *found tells whether there was one.
bool ReportOf(const Options& options, const std::string& path, qx::report::Report* report,
              bool* found, std::string* error) {
  const std::string reportPath = options.report.empty() ? path + ".json" : options.report;
  std::error_code missing;
  *found = !options.report.empty() || std::filesystem::exists(std::filesystem::u8path(reportPath), missing);
  return !*found || qx::examine::LoadReportOf(path, reportPath, report, error);
}

int Examine(const Options& options) {
  if (!options.reportsFolder.empty()) return SummariseReports(options);
  if (options.files.empty()) {
    std::fputs("FILE is required\nRun with --help for more information.\n", stderr);
    return kUsage;
  }
  const bool single = !options.extract.empty() || !options.exportPath.empty() ||
                      !options.verify.empty() || !options.render.empty();
  if (single && options.files.size() != 1) {
    std::fputs("QXInspect: --extract, --export, --verify and --render take exactly one FILE\n",
               stderr);
    return kUsage;
  }
  int status = 0;
  // Documents are written as they are read, so the output never exists whole in memory.
  qx::examine::JsonWriter json(stdout);
  const bool jsonArray = options.json && !single;
  if (jsonArray) json.BeginArray();
  for (const std::string& path : options.files) {
    qx::reader::AssetFile asset;
    std::string error;
    // --verify may decode the file a second way, so it keeps the bytes it read.
    std::vector<std::uint8_t> bytes;
    const bool read = options.verify.empty()
                          ? qx::reader::ReadAssetFile(path, &asset, &error)
                          : qx::reader::ReadFileBytes(path, &bytes, &error) &&
                                qx::reader::ReadAsset(bytes.data(), bytes.size(), &asset, &error);
    if (!read) {
      PrintFileError(path, error);
      status = kInvalid;
      continue;
    }
    // Every file this run writes is claimed from one guard that knows the file read.
    qx::WriteGuard guard = qx::examine::GuardReading(path);
    if (!options.extract.empty()) {
      if (!qx::examine::ExtractSource(asset, options.extract, guard, &error)) {
        PrintFileError(path, error);
        return kInvalid;
      }
      std::printf("Extracted %s\n", options.extract.c_str());
    } else if (!options.exportPath.empty()) {
      std::vector<std::string> written;
      const bool exported =
          qx::examine::ExportModel(asset, options.exportPath, guard, &written, &error);
      for (const std::string& file : written) std::printf("Exported %s\n", file.c_str());
      if (!exported) {
        PrintFileError(path, error);
        return kInvalid;
      }
    } else if (!options.render.empty()) {
      // An animation's report names the channel drawn and gives the skeleton to pose.
      qx::report::Report report;
      bool found = false;
      if (asset.kind == qx::reader::AssetKind::Animation && !ReportOf(options, path, &report, &found, &error)) {
        PrintFileError(path, error);
        return kInvalid;
      }
      qx::examine::Image image;
      if (!qx::examine::RenderAsset(asset, options.size, &image, &error, found ? &report : nullptr, options.time) ||
          !qx::examine::WritePng(image, options.render, guard, &error)) {
        PrintFileError(path, error);
        return kInvalid;
      }
      std::printf("Rendered %s\n", options.render.c_str());
    } else if (!options.verify.empty()) {
      // The source is converted as the asset was: baked when --bake or its report says so.
      qx::report::Report report;
      bool found = false;
      if (!options.bake && !ReportOf(options, path, &report, &found, &error)) {
        PrintFileError(path, error);
        return kInvalid;
      }
      const bool bake = options.bake || (found && report.baked);
      if (!qx::examine::VerifyAgainstSource(asset, bytes, options.verify, &error, bake)) {
        std::printf("%s differs from %s: %s\n", path.c_str(), options.verify.c_str(), error.c_str());
        return kInvalid;
      }
      std::printf("%s matches %s\n", path.c_str(), options.verify.c_str());
    } else if (options.json) {
      qx::examine::WriteJson(json, path, asset, options.full);
    } else {
      std::string summary = qx::examine::Summary(path, asset);
      qx::report::Report report;
      bool found = false;
      if (!ReportOf(options, path, &report, &found, &error)) {
        PrintFileError(path, error);
        status = kInvalid;
        continue;
      }
      if (found) summary += qx::examine::ReportSummary(report, asset);
      std::fwrite(summary.data(), 1, summary.size(), stdout);
    }
  }
  if (jsonArray) json.EndArray();
  if (!json.Flush()) {
    std::fprintf(stderr, "QXInspect: cannot write to standard output\n");
    return kInvalid;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"QXInspect: summarise, check and unpack QXConvert asset files.", "QXInspect"};
  // Options are spelled --like-this everywhere; "/path" is a path, also on Windows.
  app.allow_windows_style_options(false);
  Options options;
  app.set_version_flag("--version", "QXInspect " QX_VERSION);
  auto* files = app.add_option("FILE", options.files, "Asset files to read");
  auto* json = app.add_flag("--json", options.json, "Print JSON instead of a summary");
  app.add_flag("--full", options.full, "With --json: every value (positions, indices, keys)")
      ->needs(json);
  auto* extract = app.add_option("--extract", options.extract,
                                 "Write the source bytes of a texture, music or sound asset to OUT")
                      ->type_name("OUT");
  auto* exportOption =
      app.add_option("--export", options.exportPath,
                     "Write a model's meshes to OUT; the format follows OUT's extension "
                     "(.obj, .gltf, .glb, .ply, .stl, .dae)")
          ->type_name("OUT");
  auto* verify = app.add_option("--verify", options.verify,
                                "Convert SOURCE again and compare it with the asset field by field")
                     ->type_name("SOURCE");
  app.add_flag("--bake", options.bake,
               "With --verify: convert SOURCE with -bake (without it, the asset's report says)")
      ->needs(verify);
  auto* render = app.add_option("--render", options.render,
                                "Draw the asset into OUT as PNG: a model shaded, a texture's "
                                "image, an animation's rotation curves (and with its report its "
                                "skeleton, posed at --time), a sound's or music's waveform (PCM WAV)")
                     ->type_name("OUT.png");
  app.add_option("--size", options.size, "With --render: the image's width and height in pixels")
      ->check(CLI::Range(16, 4096))
      ->default_val(512)
      ->needs(render);
  app.add_option("--time", options.time,
                 "With --render: the time in seconds at which an animation's skeleton is posed "
                 "(its report gives the skeleton and the tick rate, else 25 ticks a second)")
      ->type_name("SECONDS")
      ->check(CLI::Validator(
          [](const std::string& text) {
            double value = 0;
            return CLI::detail::lexical_cast(text, value) && std::isfinite(value) && value >= 0
                       ? std::string()
                       : "a number of seconds from 0 is needed, not " + text;
          },
          "SECONDS"))
      ->default_val(0)
      ->needs(render);
  auto* report = app.add_option("--report", options.report,
                                "The conversion report of FILE (default: FILE.json when it exists): "
                                "channel names, seconds, what the asset does not carry")
                     ->type_name("PATH");
  auto* summaryReports =
      app.add_option("--summary-reports", options.reportsFolder,
                     "One line per conversion report in DIR: what each asset does not carry")
          ->type_name("DIR");
  std::string kinds;
  for (const std::string& kind : qx::report::FindingKinds()) kinds += (kinds.empty() ? "" : ", ") + kind;
  app.add_option("--fail-on", options.failOn,
                 "With --summary-reports: exit 1 when a report has a finding of one of these "
                 "kinds (" + kinds + ")")
      ->delimiter(',')
      ->type_name("KIND,...")
      ->needs(summaryReports);
  summaryReports->excludes(files)->excludes(report)->excludes(json);
  report->excludes(json);
  extract->excludes(exportOption)->excludes(verify)->excludes(json)->excludes(render);
  exportOption->excludes(verify)->excludes(json)->excludes(render);
  verify->excludes(json)->excludes(render);
  render->excludes(json);
  // CLI11 reads argc and argv; they are rebuilt from the UTF-8 command line.
  qx::platform::SetUpProcess();
  const std::vector<std::string> args = qx::platform::CommandLine(argc, argv);
  std::vector<char*> pointers;
  for (const std::string& arg : args) pointers.push_back(const_cast<char*>(arg.c_str()));
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help and --version
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kUsage;
  }
  // An empty value ("--verify \"$SOURCE\"" with SOURCE unset) reads to CLI11 as no
  // value at all: the run would print a summary and pass the check it was asked for.
  for (const CLI::Option* given : {extract, exportOption, verify, render, report, summaryReports}) {
    if (given->count() > 0 && given->as<std::string>().empty()) {
      std::fprintf(stderr, "QXInspect: %s needs a path, not an empty word\n", given->get_name().c_str());
      return kUsage;
    }
  }
  try {
    return Examine(options);
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("QXInspect: out of memory\n", stderr);
    return kInvalid;
  }
}
