#include "asset/asset.h"

#include <gtest/gtest.h>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::FileExists;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const AssetKey kNoKey{};

AssetKey BuiltInKey() {
  AssetKey key;
  DeriveAssetKey(kPassPhrase, key);
  return key;
}

std::string Header(const char* tag, bool scrambled) {
  return std::string(tag, 4) + std::string("\x01\x00", 2) +
         (scrambled ? "\x01" : std::string(1, '\0'));
}

std::string ExtensionField(const std::string& extension) {
  return extension + std::string(16 - extension.size(), '\0');
}

void ExpectUntouched(const Asset& asset) {
  EXPECT_FALSE(asset.loaded);
  EXPECT_EQ(asset.typeTag, "FILE");
  EXPECT_EQ(asset.version, 1);
  EXPECT_FALSE(asset.payload.isOpen());
}

TEST(FileExtension, TakesEverythingFromTheLastDot) {
  EXPECT_EQ(FileExtension(""), "");
  EXPECT_EQ(FileExtension("noext"), "");
  EXPECT_EQ(FileExtension("a.b/noext"), ".b/noext");
  EXPECT_EQ(FileExtension("name."), ".");
  EXPECT_EQ(FileExtension(".hidden"), ".hidden");
  EXPECT_EQ(FileExtension("x.tar.gz"), ".gz");
}

TEST(RawAssets, TexturePayloadIsTheSourceBytes) {
  TempDir dir;
  const std::string source("\x89PNG\r\n\x1a\n\0\0data", 14);
  WriteFile(dir / "grass.png", source);
  Asset asset;
  ASSERT_TRUE(asset.LoadTexture(dir / "grass.png"));
  EXPECT_TRUE(asset.loaded);
  EXPECT_EQ(asset.typeTag, "QTEX");
  ASSERT_TRUE(asset.Save(dir / "grass.img", false, kNoKey));
  EXPECT_EQ(ReadFile(dir / "grass.img"), Header("QTEX", false) + source);
}

TEST(RawAssets, AudioPayloadIsTheExtensionFieldThenTheSource) {
  TempDir dir;
  WriteFile(dir / "theme.ogg", "OggS-audio");
  Asset music, sound;
  ASSERT_TRUE(music.LoadAudio(dir / "theme.ogg", true));
  ASSERT_TRUE(sound.LoadAudio(dir / "theme.ogg", false));
  ASSERT_TRUE(music.Save(dir / "theme.mus", false, kNoKey));
  ASSERT_TRUE(sound.Save(dir / "theme.snd", false, kNoKey));
  EXPECT_EQ(ReadFile(dir / "theme.mus"),
            Header("QMUS", false) + ExtensionField(".ogg") + "OggS-audio");
  EXPECT_EQ(ReadFile(dir / "theme.snd"),
            Header("QSND", false) + ExtensionField(".ogg") + "OggS-audio");
}

TEST(RawAssets, EmptySourcesGiveHeaderOnlyOrHeaderAndField) {
  TempDir dir;
  WriteFile(dir / "empty.tga", "");
  WriteFile(dir / "noext", "");
  Asset texture, music;
  ASSERT_TRUE(texture.LoadTexture(dir / "empty.tga"));
  ASSERT_TRUE(texture.Save(dir / "t", true, BuiltInKey()));
  EXPECT_EQ(ReadFile(dir / "t"), Header("QTEX", true));
  ASSERT_TRUE(music.LoadAudio(dir / "noext", true));
  ASSERT_TRUE(music.Save(dir / "m", false, kNoKey));
  // The temp dir's own path has no dot, so the extension field is all zero.
  ASSERT_EQ(FileExtension(dir / "noext"), "");
  EXPECT_EQ(ReadFile(dir / "m"), Header("QMUS", false) + std::string(16, '\0'));
}

TEST(RawAssets, ExtensionOfSixteenBytesFillsTheFieldAndSeventeenIsRefused) {
  TempDir dir;
  const std::string sixteen = ".0123456789abcde";
  const std::string seventeen = ".0123456789abcdef";
  WriteFile(dir / ("a" + sixteen), "x");
  WriteFile(dir / ("a" + seventeen), "x");
  Asset fits;
  ASSERT_TRUE(fits.LoadAudio(dir / ("a" + sixteen), false));
  ASSERT_TRUE(fits.Save(dir / "out", false, kNoKey));
  EXPECT_EQ(ReadFile(dir / "out"), Header("QSND", false) + sixteen + "x");

  Asset tooLong;
  EXPECT_FALSE(tooLong.LoadAudio(dir / ("a" + seventeen), false));
  EXPECT_EQ(tooLong.errorText, "File extension is longer than 16 bytes: " + seventeen);
  ExpectUntouched(tooLong);
}

TEST(RawAssets, ScramblingChangesOnlyThePayloadAndCanBeUndone) {
  TempDir dir;
  std::string source;
  for (int i = 0; i < 1000; ++i) source += static_cast<char>(i * 7);
  WriteFile(dir / "in.xm", source);
  Asset plain, scrambled;
  ASSERT_TRUE(plain.LoadAudio(dir / "in.xm", true));
  ASSERT_TRUE(scrambled.LoadAudio(dir / "in.xm", true));
  ASSERT_TRUE(plain.Save(dir / "plain", false, kNoKey));
  ASSERT_TRUE(scrambled.Save(dir / "scrambled", true, BuiltInKey()));
  const std::string a = ReadFile(dir / "plain");
  std::string b = ReadFile(dir / "scrambled");
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(a.substr(0, 6), b.substr(0, 6));
  EXPECT_EQ(b[6], 1);
  EXPECT_NE(a.substr(7), b.substr(7));
  UnscramblePayload(BuiltInKey(), reinterpret_cast<std::uint8_t*>(&b[7]),
                    static_cast<std::uint32_t>(b.size() - 7));
  EXPECT_EQ(a.substr(7), b.substr(7));
}

TEST(RawAssets, OutputMayReplaceItsOwnInput) {
  TempDir dir;
  WriteFile(dir / "self.png", "pixels");
  Asset asset;
  ASSERT_TRUE(asset.LoadTexture(dir / "self.png"));
  ASSERT_TRUE(asset.Save(dir / "self.png", false, kNoKey));
  EXPECT_EQ(ReadFile(dir / "self.png"), Header("QTEX", false) + "pixels");
}

TEST(RawAssetFailures, MissingOrUnreadableInputLeavesTheRecordAsItWas) {
  TempDir dir;
  Asset missing;
  EXPECT_FALSE(missing.LoadTexture(dir / "none.png"));
  EXPECT_EQ(missing.errorText, "Failed to open file with errno 2");
  ExpectUntouched(missing);

  Asset directory;
  EXPECT_FALSE(directory.LoadAudio(dir.path(), true));
  EXPECT_EQ(directory.errorText, "Failed to open file with errno 21");
  ExpectUntouched(directory);
}

TEST(RawAssetFailures, InputsOf2GiBAreRefusedBeforeAnythingIsAllocated) {
  TempDir dir;
  const std::string big = dir / "big.tga";
  const std::string almost = dir / "almost.ogg";
  testing::MakeSparseFile(big, 2147483648LL);
  testing::MakeSparseFile(almost, 2147483647LL - 10);  // fits alone, not with its field
  Asset texture, music;
  EXPECT_FALSE(texture.LoadTexture(big));
  EXPECT_EQ(texture.errorText, "File is 2 GiB or larger, bytes 2147483648");
  EXPECT_FALSE(music.LoadAudio(almost, true));
  EXPECT_EQ(music.errorText, "File is 2 GiB or larger with its extension field, bytes 2147483653");
  ExpectUntouched(texture);
  ExpectUntouched(music);
}

TEST(RawAssetFailures, FailedReloadKeepsThePreviousPayload) {
  TempDir dir;
  WriteFile(dir / "a.png", "first");
  Asset asset;
  ASSERT_TRUE(asset.LoadTexture(dir / "a.png"));
  EXPECT_FALSE(asset.LoadTexture(dir / "gone.png"));
  ASSERT_TRUE(asset.Save(dir / "out", false, kNoKey));
  EXPECT_EQ(ReadFile(dir / "out"), Header("QTEX", false) + "first");
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
  WriteFile(dir / "a.png", "x");
  Asset asset;
  ASSERT_TRUE(asset.LoadTexture(dir / "a.png"));
  EXPECT_FALSE(asset.Save(dir / "no/such/dir.img", false, kNoKey));
  EXPECT_EQ(asset.errorText, "Failed to open file with errno 2");
}

TEST(SaveFailures, FullDeviceIsAFailureNotASuccess) {
  if (const char* why = testing::Unavailable(testing::Need::kFullDevice)) GTEST_SKIP() << why;
  TempDir dir;
  WriteFile(dir / "a.png", "x");
  Asset asset;
  ASSERT_TRUE(asset.LoadTexture(dir / "a.png"));
  EXPECT_FALSE(asset.Save("/dev/full", false, kNoKey));
  EXPECT_EQ(asset.errorText, "Failed to write file with errno 28");
}

}  // namespace
}  // namespace qx
