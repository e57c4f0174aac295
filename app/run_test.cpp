// End-to-end runs of the built QXConvert: standard output, standard error and the exit
// code are checked apart, byte for byte.
#include "app/run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

#include "format/scramble.h"
#include "reader/asset_reader.h"
#include "testing/banner.h"
#include "testing/cursor.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::FileExists;
using testing::kBanner;
using testing::ReadFile;
using testing::RunQXConvert;
using testing::TempDir;
using testing::WriteFile;


std::string Unscrambled(std::string file) {
  AssetKey key;
  DeriveAssetKey(kPassPhrase, key);
  UnscramblePayload(key, reinterpret_cast<std::uint8_t*>(&file[7]),
                    static_cast<std::uint32_t>(file.size() - 7), 0);
  return file;
}

TEST(UsageText, IsTheBannerAndTheFixedBlock) {
  const std::string usage = UsageText();
  const std::size_t banner = kBanner.size() - 1;
  ASSERT_EQ(usage.substr(0, banner + 1), kBanner);
  EXPECT_EQ(usage.size() - banner, 566u);
  EXPECT_EQ(usage.substr(banner, 8), "\nUsage:\n");
  EXPECT_EQ(usage.substr(usage.size() - 39), " QXConvert.exe snd sound.ogg sound.snd\n");
}

TEST(CommandLine, FewerThanThreeArgumentsPrintOnlyTheUsage) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"tex"}, {"tex", "a.png"}}) {
    const auto r = RunQXConvert(args);
    EXPECT_EQ(r.out, UsageText());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 1);
  }
}

TEST(CommandLine, UnknownTypesPrintBannerMessageAndUsage) {
  for (const std::string type : {"md", "mdl ", "model", "-ue", "MDLX"}) {
    const auto r = RunQXConvert({type, "in", "out"});
    EXPECT_EQ(r.out, kBanner + "Unknown asset type " + type + "\n" + UsageText());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 1);
  }
}

TEST(CommandLine, MissingInputGoesToStandardErrorWithoutPause) {
  TempDir dir;
  // The path comes back exactly as given, so these also prove that the argument
  // reached the tool intact (on Windows, the command line's quoting).
  for (const std::string name : {"nope.png", "two words.png", "tab\t.png", "q\"uote.png",
                                 "slash\\\"quote", "trailing slash\\", "two\\\\ \\\\"}) {
    const auto r = RunQXConvert({"tex", dir / name, dir / "out", "-pause"});
    EXPECT_EQ(r.out, kBanner) << name;
    EXPECT_EQ(r.err, "File \"" + (dir / name) + "\" not found.\n") << name;
    EXPECT_EQ(r.exitCode, 1) << name;
  }
  EXPECT_FALSE(FileExists(dir / "out"));
}

TEST(CommandLine, TypesAndOptionsAreCaseFolded) {
  TempDir dir;
  WriteFile(dir / "in.wav", "RIFF");
  const struct {
    std::string type;
    std::string tag;
  } cases[] = {{"TEX", "QTEX"}, {"Tex", "QTEX"}, {"sNd", "QSND"}, {"MUS", "QMUS"}};
  for (const auto& c : cases) {
    const auto r = RunQXConvert({c.type, dir / "in.wav", dir / "out", "-UE"});
    EXPECT_EQ(r.out, kBanner + "Wrote " + (dir / "out") + "\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "out").substr(0, 7), testing::Header(c.tag.c_str()));
  }
}

// Unknown arguments change nothing: the output is scrambled as with three arguments,
// standard output and the exit code are those of a plain run. One that looks like an
// option of ours gone wrong is named on standard error with what it probably meant.
TEST(CommandLine, UnknownOptionsAreIgnoredAndMistypedOnesNamed) {
  TempDir dir;
  WriteFile(dir / "in.png", "abc");
  const auto named = [](const std::string& argument, const std::string& meant) {
    return "QXConvert: ignoring unknown option \"" + argument + "\" (did you mean " + meant + "?)\n";
  };
  const std::string report = dir / "r.json";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, ""},
      {{"extra", "-x", "--", "-"}, ""},
      {{"-u", "-uee"}, named("-u", "-ue") + named("-uee", "-ue")},
      {{"/ue", "--UE"}, named("/ue", "-ue") + named("--UE", "-ue")},
      {{"-pausex"}, named("-pausex", "-pause")},
      {{"--report=" + report}, named("--report=" + report, "-report=" + report)},
      {{"-REPROT=" + report}, named("-REPROT=" + report, "-report=" + report)},
      {{"-report", report}, named("-report", "-report=" + report)},
      {{"-timeout", "2", "-memroy"}, named("-timeout", "-timeout=2") + named("-memroy", "-memory=MIB")},
  };
  for (const auto& [options, err] : cases) {
    std::vector<std::string> args = {"tex", dir / "in.png", dir / "o.img"};
    args.insert(args.end(), options.begin(), options.end());
    const auto r = RunQXConvert(args);
    const std::string shown = options.empty() ? "" : options[0];
    EXPECT_EQ(r.out, kBanner + "Wrote encrypted " + (dir / "o.img") + "\n") << shown;
    EXPECT_EQ(r.err, err) << shown;
    EXPECT_EQ(r.exitCode, 0) << shown;
    EXPECT_FALSE(FileExists(report)) << shown;
    const std::string file = ReadFile(dir / "o.img");
    EXPECT_EQ(file.substr(0, 7), testing::Header("QTEX", true));
    EXPECT_EQ(Unscrambled(file).substr(7), "abc");
  }
}

TEST(CommandLine, PauseFollowsTheOutcomeAndReadsOneKey) {
  TempDir dir;
  WriteFile(dir / "in.ogg", "ogg");
  testing::ProcessOptions keyPress;
  keyPress.input = "k";
  auto ok = RunQXConvert({"snd", dir / "in.ogg", dir / "o.snd", "-Pause", "-ue"}, keyPress);
  EXPECT_EQ(ok.out, kBanner + "Wrote " + (dir / "o.snd") + "\nPress any key to continue...\n");
  EXPECT_EQ(ok.exitCode, 0);

  // A failed save pauses too, and end of input ends the wait.
  auto failed = RunQXConvert({"snd", dir / "in.ogg", dir / "no/dir/o.snd", "-pause"});
  EXPECT_EQ(failed.out,
            kBanner + "Failed to open file with errno 2\nPress any key to continue...\n");
  EXPECT_EQ(failed.err, "");
  EXPECT_EQ(failed.exitCode, 1);
}

TEST(Conversions, AudioFileIsHeaderFieldAndSourceWithThePathAsTyped) {
  TempDir dir;
  const std::string source("\0\x01\x02theme", 8);
  WriteFile(dir / "theme.ogg", source);
  testing::ProcessOptions inDir;
  inDir.workingDirectory = dir.path();
  const auto r = RunQXConvert({"mus", "./theme.ogg", "./theme.mus", "-ue"}, inDir);
  EXPECT_EQ(r.out, kBanner + "Wrote ./theme.mus\n");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(ReadFile(dir / "theme.mus"),
            testing::Header("QMUS") + ".ogg" + std::string(12, '\0') + source);
}

TEST(Conversions, ModelsAndAnimationsRunThroughTheImporter) {
  TempDir dir;
  WriteFile(dir / "tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  const auto model = RunQXConvert({"mdl", dir / "tri.obj", dir / "tri.mdl"});
  EXPECT_EQ(model.out, kBanner + "Wrote encrypted " + (dir / "tri.mdl") + "\n");
  EXPECT_EQ(model.exitCode, 0);
  const std::string file = Unscrambled(ReadFile(dir / "tri.mdl"));
  EXPECT_EQ(file.substr(0, 9), testing::Header("QMDL", true) + testing::U16(1));

  const auto animation = RunQXConvert({"anm", dir / "tri.obj", dir / "tri.anm"});
  EXPECT_EQ(animation.out, kBanner + "Model has no animations\n");
  EXPECT_EQ(animation.exitCode, 1);
  EXPECT_FALSE(FileExists(dir / "tri.anm"));
}

TEST(Conversions, FailuresPrintTheErrorLineAndWriteNothing) {
  TempDir dir;
  WriteFile(dir / "a.it", "x");
  WriteFile(dir / "a.0123456789abcdefg", "x");
  const auto tooLong = RunQXConvert({"mus", dir / "a.0123456789abcdefg", dir / "o"});
  EXPECT_EQ(tooLong.out, kBanner + "File extension is longer than 16 bytes: .0123456789abcdefg\n");
  EXPECT_EQ(tooLong.exitCode, 1);
  EXPECT_FALSE(FileExists(dir / "o"));

  const auto directory = RunQXConvert({"tex", dir.path(), dir / "o"});
  EXPECT_EQ(directory.out, kBanner + "Failed to open file with errno 21\n");
  EXPECT_EQ(directory.exitCode, 1);
  EXPECT_FALSE(FileExists(dir / "o"));
  // A folder as the output is no file to write in place either.
  const auto intoFolder = RunQXConvert({"tex", dir / "a.it", dir.path()});
  EXPECT_EQ(intoFolder.out, kBanner + "Failed to open file with errno 21\n");
  EXPECT_EQ(intoFolder.exitCode, 1);
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

TEST(Depfile, ListsEveryFileTheImportReadAndOnlyAfterSuccess) {
  TempDir dir;
  WriteFile(dir / "box.obj", "mtllib box.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n");
  WriteFile(dir / "box.mtl", "newmtl m\nKd 1 0 0\n");
  const auto model =
      RunQXConvert({"mdl", dir / "box.obj", dir / "out dir.mdl", "-DEPFILE=" + (dir / "box.d")});
  ASSERT_EQ(model.exitCode, 0) << model.out;
  EXPECT_EQ(ReadFile(dir / "box.d"),
            dir / "out\\ dir.mdl: " + dir / "box.obj " + dir / "box.mtl\n");

  WriteFile(dir / "a#$.png", "px");
  const auto texture =
      RunQXConvert({"tex", dir / "a#$.png", dir / "a.img", "-depfile=" + (dir / "a.d")});
  ASSERT_EQ(texture.exitCode, 0);
  EXPECT_EQ(ReadFile(dir / "a.d"), dir / "a.img: " + dir / "a\\#$$.png\n");

  WriteFile(dir / "broken.obj", "");
  const auto failed =
      RunQXConvert({"mdl", dir / "broken.obj", dir / "b.mdl", "-depfile=" + (dir / "b.d")});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_FALSE(FileExists(dir / "b.d"));
  EXPECT_FALSE(FileExists(dir / "b.mdl"));
}

// A depfile that cannot be written, or would replace a file the run reads or writes,
// fails the run before the asset is committed: a build never sees a new asset with a
// missing rule, and no source is overwritten.
TEST(Depfile, FailuresAndClashesChangeNothing) {
  TempDir dir;
  WriteFile(dir / "a.png", "pixels");
  WriteFile(dir / "a.img", "previous");
  const auto missing =
      RunQXConvert({"tex", dir / "a.png", dir / "a.img", "-depfile=" + (dir / "no/a.d")});
  EXPECT_EQ(missing.out, kBanner + "Depfile " + dir / "no/a.d" +
                             " could not be written: Failed to open file with errno 2 (No such "
                             "file or directory)\n");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(ReadFile(dir / "a.img"), "previous");

  for (const std::string& clash : {dir / "a.png", dir / "../" + dir.path().substr(dir.path().rfind('/') + 1) + "/a.img"}) {
    const auto r = RunQXConvert({"tex", dir / "a.png", dir / "a.img", "-depfile=" + clash});
    EXPECT_EQ(r.out.rfind(kBanner + "Depfile " + clash + " would overwrite ", 0), 0u) << r.out;
    EXPECT_EQ(r.exitCode, 1);
  }
  EXPECT_EQ(ReadFile(dir / "a.png"), "pixels");
  EXPECT_EQ(ReadFile(dir / "a.img"), "previous");

  const auto empty = RunQXConvert({"tex", dir / "a.png", dir / "a.img", "-depfile="});
  EXPECT_EQ(empty.out, kBanner + "-depfile= needs a path after the equals sign\n");
  EXPECT_EQ(empty.exitCode, 1);
}

// Every name the converter writes into a depfile reads back as the same path in both
// Ninja and Make; names they cannot both read are refused before anything is written.
TEST(Depfile, AwkwardNamesReadTheSameInNinjaAndMake) {
  if (const char* why = testing::Unavailable(testing::Need::kNinjaAndMake)) GTEST_SKIP() << why;
  TempDir dir;
  testing::ProcessOptions inDir;
  inDir.workingDirectory = dir.path();
  for (const std::string name : {"a b.png", "a\\ b.png", "a\\\\ b.png", "h#sh.png",
                                 "d$llar.png", "co:lon.png", "per%cent.png", "mid\\dle.png",
                                 "gr\xC3\xA4s.png", "(paren) x] {y} @!,+~.png"}) {
    WriteFile(dir / name, "px");
    const auto r = RunQXConvert({"tex", name, "out.img", "-depfile=out.d"}, inDir);
    ASSERT_EQ(r.exitCode, 0) << name << ": " << r.out;
    WriteFile(dir / "build.ninja", "rule convert\n  command = true\n  depfile = out.d\n"
                                   "  deps = gcc\nbuild out.img: convert\n");
    ASSERT_EQ(testing::RunProcess("/usr/bin/ninja", {"-d", "keepdepfile"}, inDir).exitCode, 0);
    const auto ninja = testing::RunProcess("/usr/bin/ninja", {"-t", "deps", "out.img"}, inDir);
    EXPECT_NE(ninja.out.find("\n    " + name + "\n"), std::string::npos) << name << ninja.out;
    WriteFile(dir / "Makefile", "include out.d\nout.img:\n\t@printf '%s' '$^' > make.txt\n");
    ASSERT_EQ(testing::RunProcess("/usr/bin/make", {"-B", "-s", "out.img"}, inDir).exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "make.txt"), name);
    std::filesystem::remove(dir / name);
  }
  // Make reads these as a wildcard (a[1].png is a1.png once that exists), a home folder,
  // an archive member and, in the target, a pattern rule.
  WriteFile(dir / "a1.png", "px");
  for (const auto& [name, output] : std::vector<std::pair<std::string, std::string>>{
           {"semi;colon.png", "refused.img"}, {"new\nline.png", "refused.img"},
           {"trail\\", "refused.img"}, {"tab\t.png", "refused.img"}, {"back\\#.png", "refused.img"},
           {"quote\".png", "refused.img"}, {"a[1].png", "refused.img"}, {"~x.png", "refused.img"},
           {"grass(1)", "refused.img"}, {"in.png", "100%.img"}}) {
    WriteFile(dir / name, "px");
    const auto r = RunQXConvert({"tex", name, output, "-depfile=refused.d"}, inDir);
    const std::string& listed = output == "refused.img" ? name : output;
    EXPECT_EQ(r.out, kBanner + "Cannot list \"" + listed +
                         "\" in a depfile: Make and Ninja cannot both read it\n");
    EXPECT_FALSE(FileExists(dir / output)) << name;
    EXPECT_FALSE(FileExists(dir / "refused.d")) << name;
  }
  // Ninja alone reads those as they are: -ninja-depfile= writes them.
  for (const auto& [name, output] : std::vector<std::pair<std::string, std::string>>{
           {"a[1].png", "out.img"}, {"~x.png", "out.img"}, {"grass(1)", "out.img"}, {"in.png", "100%.img"}}) {
    WriteFile(dir / name, "px");
    const auto r = RunQXConvert({"tex", name, output, "-ninja-depfile=out.d"}, inDir);
    ASSERT_EQ(r.exitCode, 0) << name << ": " << r.out;
    WriteFile(dir / "build.ninja", "rule convert\n  command = true\n  depfile = out.d\n"
                                   "  deps = gcc\nbuild " + output + ": convert\n");
    ASSERT_EQ(testing::RunProcess("/usr/bin/ninja", {"-d", "keepdepfile"}, inDir).exitCode, 0);
    const auto ninja = testing::RunProcess("/usr/bin/ninja", {"-t", "deps", output}, inDir);
    EXPECT_NE(ninja.out.find("\n    " + name + "\n"), std::string::npos) << name << ninja.out;
  }
  const auto empty = RunQXConvert({"tex", "in.png", "out.img", "-ninja-depfile="}, inDir);
  EXPECT_EQ(empty.out, kBanner + "-ninja-depfile= needs a path after the equals sign\n");
}

// One triangle used by two nodes, one moved 10 along x, one mirrored in x, with a
// textured material: what a report must say and -bake must do.
const char kPlacedScene[] = R"({"asset": {"version": "2.0"}, "scene": 0,
  "scenes": [{"nodes": [0]}],
  "nodes": [{"name": "Root", "children": [1, 2]},
            {"name": "A", "mesh": 0, "translation": [10, 0, 0]},
            {"name": "B", "mesh": 0, "scale": [-1, 1, 1]}],
  "meshes": [{"name": "tri", "primitives": [{"attributes": {"POSITION": 0, "NORMAL": 1},
                                             "indices": 2, "material": 0}]}],
  "materials": [{"name": "paint", "pbrMetallicRoughness": {"baseColorTexture": {"index": 0}}}],
  "textures": [{"source": 0}], "images": [{"uri": "paint.png"}],
  "buffers": [{"byteLength": 80, "uri": "data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAAAAAAIA/AAAAAAAAAAAAAIA/AAAAAAAAAAAAAIA/AAABAAIAAAA="}],
  "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": 36},
                  {"buffer": 0, "byteOffset": 36, "byteLength": 36},
                  {"buffer": 0, "byteOffset": 72, "byteLength": 6}],
  "accessors": [
    {"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3", "min": [0, 0, 0], "max": [1, 1, 0]},
    {"bufferView": 1, "componentType": 5126, "count": 3, "type": "VEC3"},
    {"bufferView": 2, "componentType": 5123, "count": 3, "type": "SCALAR"}]})";

// A report is written with the asset, names what the asset lacks, is read back by
// QXInspect only beside its own asset, and is refused where it would replace the
// input; -bake places each use of a mesh as its node does, mirrored faces turned.
TEST(Report, SaysWhatIsNotCarriedAndBakeAppliesThePlacement) {
  if (const char* why = testing::Unavailable(testing::Need::kAssimpGltf)) GTEST_SKIP() << why;
  TempDir dir;
  WriteFile(dir / "scene.gltf", kPlacedScene);
  auto r = RunQXConvert({"mdl", dir / "scene.gltf", dir / "plain.mdl", "-ue", "-report=" + (dir / "plain.json")});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const std::string plain = ReadFile(dir / "plain.json");
  for (const char* said : {R"("kind": "placement",)", R"("count": 2,)", R"("kind": "instances",)",
                           R"("material": "paint",)", R"("paint.png")", R"("baked": false)"}) {
    EXPECT_NE(plain.find(said), std::string::npos) << said << " not in\n" << plain;
  }

  r = RunQXConvert({"mdl", dir / "scene.gltf", dir / "baked.mdl", "-ue", "-bake",
                    "-report=" + (dir / "baked.mdl.json")});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(ReadFile(dir / "baked.mdl.json").find("placement"), std::string::npos);
  reader::AssetFile baked;
  std::string error;
  ASSERT_TRUE(reader::ReadAssetFile(dir / "baked.mdl", &baked, &error)) << error;
  ASSERT_EQ(baked.meshes.size(), 2u);
  const reader::Mesh& a = baked.meshes[0];
  const reader::Mesh& b = baked.meshes[1];
  EXPECT_EQ(a.name, "tri@A");
  EXPECT_EQ(b.name, "tri@B");
  auto xs = [](const reader::Mesh& m) {
    return std::vector<float>{m.positions[0].x, m.positions[1].x, m.positions[2].x};
  };
  EXPECT_EQ(xs(a), (std::vector<float>{10, 11, 10}));
  EXPECT_EQ(xs(b), (std::vector<float>{0, -1, 0}));
  EXPECT_EQ(a.indices, (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(b.indices, (std::vector<std::uint32_t>{2, 1, 0}));
  EXPECT_EQ(b.normals[0].z, 1.0f);

  // QXInspect takes the report beside its asset and refuses another asset's.
  EXPECT_EQ(testing::RunQXInspect({dir / "baked.mdl"}).exitCode, 0);
  std::filesystem::rename(dir / "plain.json", dir / "baked.mdl.json");
  const auto refused = testing::RunQXInspect({dir / "baked.mdl"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("belongs to another file"), std::string::npos) << refused.err;

  // Never over the input or any file the import read (with or without a depfile), and
  // never after a failure.
  r = RunQXConvert({"mdl", dir / "scene.gltf", dir / "c.mdl", "-report=" + (dir / "scene.gltf")});
  EXPECT_EQ(r.out, kBanner + "Report " + (dir / "scene.gltf") + " would overwrite the input " +
                       (dir / "scene.gltf") + "\n");
  EXPECT_FALSE(FileExists(dir / "c.mdl"));
  const std::string obj = "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl red\nf 1 2 3\n";
  const std::string mtl = "newmtl red\nKd 1 0 0\n";
  WriteFile(dir / "m.obj", obj);
  WriteFile(dir / "m.mtl", mtl);
  // Corners (0,0,0), (1,0,0), (0,1,0) as little-endian floats, then indices 0, 1, 2.
  std::string bin(42, '\0');
  for (const std::size_t one : {14u, 26u}) bin[one] = '\x80', bin[one + 1] = '\x3f';
  bin[38] = 1, bin[40] = 2;
  WriteFile(dir / "tri.bin", bin);
  WriteFile(dir / "tri.gltf", R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
    "nodes": [{"mesh": 0}], "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "indices": 1}]}],
    "buffers": [{"byteLength": 42, "uri": "tri.bin"}],
    "bufferViews": [{"buffer": 0, "byteLength": 36}, {"buffer": 0, "byteOffset": 36, "byteLength": 6}],
    "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3",
                   "min": [0, 0, 0], "max": [1, 1, 0]},
                  {"bufferView": 1, "componentType": 5123, "count": 3, "type": "SCALAR"}]})");
  for (const auto& [source, read] : {std::pair{dir / "m.obj", dir / "m.mtl"}, std::pair{dir / "tri.gltf", dir / "tri.bin"}}) {
    r = RunQXConvert({"mdl", source, dir / "e.mdl", "-report=" + read});
    EXPECT_EQ(r.out, kBanner + "Report " + read + " would overwrite " + read + ", which the conversion reads\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(FileExists(dir / "e.mdl"));
  }
  EXPECT_EQ(ReadFile(dir / "m.mtl"), mtl);
  EXPECT_EQ(ReadFile(dir / "tri.bin"), bin);
  EXPECT_EQ(RunQXConvert({"mdl", dir / "tri.gltf", dir / "e.mdl"}).exitCode, 0);
  WriteFile(dir / "empty.obj", "");
  r = RunQXConvert({"mdl", dir / "empty.obj", dir / "d.mdl", "-report=" + (dir / "d.json")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(FileExists(dir / "d.json"));
}

// kPlacedScene's triangle under other nodes (a JSON list of them, the triangle's
// mesh 0 used by some).
std::string WithNodes(const std::string& nodes) {
  std::string scene = kPlacedScene;
  const std::size_t from = scene.find(R"("nodes": [{"name": "Root")");
  const std::size_t to = scene.find(R"("meshes")");
  return scene.substr(0, from) + "\"nodes\": " + nodes + ",\n  " + scene.substr(to);
}

// -bake places a mesh however deep its node sits, refuses a placement that takes the
// positions past the float range (naming the node), and QXInspect --verify converts
// the source as the asset was: baked when its report, or --bake, says so.
TEST(Report, BakeReachesAnyDepthRefusesOverflowAndIsVerified) {
  if (const char* why = testing::Unavailable(testing::Need::kAssimpGltf)) GTEST_SKIP() << why;
  TempDir dir;
  constexpr int kDepth = 2000;
  std::string chain = "[";
  for (int i = 0; i < kDepth; ++i) {
    chain += R"({"name": "n)" + std::to_string(i) + R"(", "children": [)" + std::to_string(i + 1) + "]},";
  }
  chain += R"({"name": "deep", "mesh": 0, "translation": [10, 0, 0]}])";
  WriteFile(dir / "deep.gltf", WithNodes(chain));
  auto r = RunQXConvert({"mdl", dir / "deep.gltf", dir / "deep.mdl", "-bake"});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  reader::AssetFile deep;
  std::string error;
  ASSERT_TRUE(reader::ReadAssetFile(dir / "deep.mdl", &deep, &error)) << error;
  ASSERT_EQ(deep.meshes.size(), 1u);
  EXPECT_EQ(deep.meshes[0].positions[1].x, 11.0f);
  r = RunQXConvert({"mdl", dir / "deep.gltf", dir / "plain.mdl", "-report=" + (dir / "plain.json")});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(ReadFile(dir / "plain.json").find(R"(in node \"deep\")"), std::string::npos);

  WriteFile(dir / "huge.gltf", WithNodes(R"([{"name": "Root", "children": [1]},
      {"name": "Big", "scale": [1e20, 1e20, 1e20], "children": [2]},
      {"name": "Bigger", "mesh": 0, "scale": [1e20, 1e20, 1e20]}])"));
  r = RunQXConvert({"mdl", dir / "huge.gltf", dir / "huge.mdl", "-bake"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, kBanner + "Node \"Bigger\" places mesh 0 \"tri\" beyond the float range (vertex 0 "
                             "becomes infinite or NaN); -bake cannot write it\n");
  EXPECT_FALSE(FileExists(dir / "huge.mdl"));

  WriteFile(dir / "scene.gltf", kPlacedScene);
  r = RunQXConvert({"mdl", dir / "scene.gltf", dir / "baked.mdl", "-bake", "-report=" + (dir / "baked.mdl.json")});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const auto withReport = testing::RunQXInspect({dir / "baked.mdl", "--verify", dir / "scene.gltf"});
  EXPECT_EQ(withReport.exitCode, 0) << withReport.out << withReport.err;
  std::filesystem::rename(dir / "baked.mdl.json", dir / "away.json");
  const auto unsaid = testing::RunQXInspect({dir / "baked.mdl", "--verify", dir / "scene.gltf"});
  EXPECT_EQ(unsaid.exitCode, 1) << unsaid.out;  // nothing says it was baked
  const auto said = testing::RunQXInspect({dir / "baked.mdl", "--verify", dir / "scene.gltf", "--bake"});
  EXPECT_EQ(said.exitCode, 0) << said.out << said.err;
}

// The output is a function of the input bytes alone, so builds can be cached and
// run remotely: two conversions of the same samples are identical to the byte.
TEST(Determinism, ConvertingTheSamplesTwiceGivesIdenticalFiles) {
  TempDir dir;
  const std::string examples = QX_EXAMPLES_DIR;
  const std::pair<const char*, const char*> samples[] = {{"mdl", "crate.obj"},
                                                         {"anm", "walk.bvh"},
                                                         {"tex", "grass.tga"},
                                                         {"mus", "theme.mod"},
                                                         {"snd", "blip.wav"}};
  for (const auto& [type, source] : samples) {
    for (const char* run : {"first", "second"}) {
      ASSERT_EQ(
          RunQXConvert({type, examples + "/" + source, dir / (std::string(run) + source)}).exitCode,
          0);
    }
    EXPECT_EQ(ReadFile(dir / (std::string("first") + source)),
              ReadFile(dir / (std::string("second") + source)))
        << source;
  }
}

}  // namespace
}  // namespace qx
