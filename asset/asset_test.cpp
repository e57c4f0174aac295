#include "asset/asset.h"

#include <gtest/gtest.h>

#include "testing/cursor.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::Content;
using testing::FileExists;
using testing::Header;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const AssetKey kNoKey{};

AssetKey BuiltInKey() {
  AssetKey key;
  DeriveAssetKey(kPassPhrase, key);
  return key;
}

std::string ExtensionField(const std::string& extension) {
  return extension + std::string(16 - extension.size(), '\0');
}

// The asset file a raw source loads and saves to, in memory, or "" with *error.
std::string Stream(AssetType type, const std::string& path, bool scramble, std::string* error) {
  Asset asset;
  const bool loaded = type == AssetType::Texture ? asset.LoadTexture(path)
                                                 : asset.LoadAudio(path, type == AssetType::Music);
  ByteStream bytes;
  bytes.OpenMemoryForWrite();
  if (!loaded || !asset.Save(bytes, scramble, BuiltInKey())) {
    *error = asset.errorText;
    return "";
  }
  return Content(bytes);
}

TEST(FileExtension, TakesEverythingFromTheLastDot) {
  EXPECT_EQ(FileExtension(""), "");
  EXPECT_EQ(FileExtension("noext"), "");
  EXPECT_EQ(FileExtension("a.b/noext"), ".b/noext");
  EXPECT_EQ(FileExtension("name."), ".");
  EXPECT_EQ(FileExtension(".hidden"), ".hidden");
  EXPECT_EQ(FileExtension("x.tar.gz"), ".gz");
}

TEST(RawAssets, PayloadIsTheExtensionFieldIfAnyThenTheSource) {
  TempDir dir;
  std::string error;
  const std::string source("\x89PNG\r\n\x1a\n\0\0data", 14);
  WriteFile(dir / "grass.png", source);
  EXPECT_EQ(Stream(AssetType::Texture, dir / "grass.png", false, &error), Header("QTEX", false) + source);
  WriteFile(dir / "theme.ogg", "OggS-audio");
  EXPECT_EQ(Stream(AssetType::Music, dir / "theme.ogg", false, &error),
            Header("QMUS", false) + ExtensionField(".ogg") + "OggS-audio");
  EXPECT_EQ(Stream(AssetType::Sound, dir / "theme.ogg", false, &error),
            Header("QSND", false) + ExtensionField(".ogg") + "OggS-audio");
  // Empty sources; the temp dir's own path has no dot, so the field is all zero.
  WriteFile(dir / "empty.tga", "");
  WriteFile(dir / "noext", "");
  EXPECT_EQ(Stream(AssetType::Texture, dir / "empty.tga", true, &error), Header("QTEX", true));
  ASSERT_EQ(FileExtension(dir / "noext"), "");
  EXPECT_EQ(Stream(AssetType::Music, dir / "noext", false, &error),
            Header("QMUS", false) + std::string(16, '\0'));
  // An extension of 16 bytes fills the field; 17 is refused.
  const std::string sixteen = ".0123456789abcde", seventeen = ".0123456789abcdef";
  WriteFile(dir / ("a" + sixteen), "x");
  WriteFile(dir / ("a" + seventeen), "x");
  EXPECT_EQ(Stream(AssetType::Sound, dir / ("a" + sixteen), false, &error),
            Header("QSND", false) + sixteen + "x");
  EXPECT_EQ(Stream(AssetType::Sound, dir / ("a" + seventeen), false, &error), "");
  EXPECT_EQ(error, "File extension is longer than 16 bytes: " + seventeen);
}

// A source over several slices, of an odd size: scrambled, it is the whole payload
// scrambled at once, whatever the slice size.
TEST(RawAssets, ScrambledSlicesAreThePayloadScrambledWhole) {
  TempDir dir;
  std::string source;
  for (std::size_t i = 0; i < 3 * (std::size_t{1} << 20) + 5; ++i) source += static_cast<char>(i * 7 + i / 4099);
  WriteFile(dir / "in.xm", source);
  std::string error;
  const std::string scrambled = Stream(AssetType::Music, dir / "in.xm", true, &error);
  ASSERT_EQ(scrambled.size(), 7 + 16 + source.size()) << error;
  EXPECT_EQ(scrambled.substr(0, 7), Header("QMUS", true));
  std::string expected = ExtensionField(".xm") + source;
  ScramblePayloadPlain(BuiltInKey(), reinterpret_cast<std::uint8_t*>(&expected[0]),
                       static_cast<std::uint32_t>(expected.size()));
  EXPECT_TRUE(scrambled.substr(7) == expected);
}

// The record is replaced only by a load that succeeds, and it is what the file holds.
TEST(RawAssets, LoadersFillTheRecordOnlyOnSuccess) {
  TempDir dir;
  WriteFile(dir / "theme.ogg", "OggS");
  Asset asset;
  EXPECT_FALSE(asset.LoadTexture(dir / "none.png"));
  EXPECT_EQ(asset.errorText, "Failed to open file with errno 2");
  EXPECT_FALSE(asset.loaded);
  EXPECT_EQ(asset.typeTag, "FILE");
  ASSERT_TRUE(asset.LoadAudio(dir / "theme.ogg", true));
  EXPECT_FALSE(asset.LoadAudio(dir / "gone.ogg", false));
  EXPECT_EQ(asset.typeTag, "QMUS");
  ASSERT_TRUE(asset.Save(dir / "theme.mus", false, kNoKey));
  EXPECT_EQ(ReadFile(dir / "theme.mus"), Header("QMUS", false) + ExtensionField(".ogg") + "OggS");
}

TEST(RawAssetFailures, MissingDirectoryAndHugeInputsAreRefused) {
  TempDir dir;
  std::string error;
  EXPECT_EQ(Stream(AssetType::Texture, dir / "none.png", false, &error), "");
  EXPECT_EQ(error, "Failed to open file with errno 2");
  EXPECT_EQ(Stream(AssetType::Music, dir.path(), false, &error), "");
  EXPECT_EQ(error, "Failed to open file with errno 21");

  const std::string big = dir / "big.tga";
  const std::string almost = dir / "almost.ogg";
  testing::MakeSparseFile(big, 2147483648LL);
  testing::MakeSparseFile(almost, 2147483647LL - 10);  // fits alone, not with its field
  EXPECT_EQ(Stream(AssetType::Texture, big, false, &error), "");
  EXPECT_EQ(error, "File is 2 GiB or larger, bytes 2147483648");
  EXPECT_EQ(Stream(AssetType::Music, almost, false, &error), "");
  EXPECT_EQ(error, "File with its extension field is 2 GiB or larger, bytes 2147483653");
}

Asset Loaded(const std::string& payload) {
  Asset asset;
  asset.payload.OpenMemoryForWrite();
  asset.payload.Write(payload.data(), static_cast<std::int32_t>(payload.size()));
  asset.typeTag = "QMDL";
  asset.loaded = true;
  return asset;
}

TEST(SaveFailures, NothingLoadedMeansNoFile) {
  TempDir dir;
  Asset asset;
  EXPECT_FALSE(asset.Save(dir / "out.img", true, BuiltInKey()));
  EXPECT_EQ(asset.errorText, "Cannot save " + (dir / "out.img") + ", no asset loaded");
  EXPECT_FALSE(FileExists(dir / "out.img"));
}

TEST(SaveFailures, MissingDirectoryReportsErrno2) {
  TempDir dir;
  Asset asset = Loaded("x");
  EXPECT_FALSE(asset.Save(dir / "no/such/dir.img", false, kNoKey));
  EXPECT_EQ(asset.errorText, "Failed to open file with errno 2");
}

TEST(SaveFailures, FullDeviceIsAFailureNotASuccess) {
  if (const char* why = testing::Unavailable(testing::Need::kFullDevice)) GTEST_SKIP() << why;
  TempDir dir;
  Asset asset = Loaded("x");
  EXPECT_FALSE(asset.Save("/dev/full", false, kNoKey));
  EXPECT_EQ(asset.errorText, "Failed to write file with errno 28");
}

}  // namespace
}  // namespace qx
