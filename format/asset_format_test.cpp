#include "format/asset_format.h"

#include <gtest/gtest.h>

#include <vector>

#include "testing/temp_dir.h"

namespace qx::format {
namespace {

// Every kind's header reads back as written, byte for byte as the layout says; any
// other tag, version or flag is refused.
TEST(AssetFormat, HeadersRoundTripAndBadOnesAreRefused) {
  for (const KindInfo& info : kKinds) {
    for (bool scrambled : {false, true}) {
      std::uint8_t bytes[kHeaderSize];
      EncodeHeader({info.kind, kVersion, scrambled}, bytes);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), kHeaderSize),
                std::string(info.tag) + std::string("\x01\x00", 2) + char(scrambled ? 1 : 0));
      Header header;
      std::string error;
      ASSERT_TRUE(DecodeHeader(bytes, kHeaderSize, &header, &error)) << error;
      EXPECT_EQ(header.kind, info.kind);
      EXPECT_EQ(header.scrambled, scrambled);
    }
  }
  Header header;
  std::string error;
  const std::uint8_t wrongTag[] = {'Q', 'M', 'D', 'X', 1, 0, 0};
  EXPECT_FALSE(DecodeHeader(wrongTag, sizeof wrongTag, &header, &error));
  EXPECT_EQ(error, "unknown type tag \"QMDX\"");
  const std::uint8_t wrongFlag[] = {'Q', 'T', 'E', 'X', 1, 0, 2};
  EXPECT_FALSE(DecodeHeader(wrongFlag, sizeof wrongFlag, &header, &error));
  EXPECT_FALSE(DecodeHeader(wrongFlag, 6, &header, &error));
  EXPECT_EQ(error, "file is 6 bytes, shorter than the 7-byte header");
}

// Every number is written low byte first, whatever the host.
TEST(AssetFormat, NumbersAreLittleEndian) {
  std::uint8_t b[8];
  StoreLE16(b, 0x1234);
  EXPECT_EQ(std::vector<int>(b, b + 2), (std::vector<int>{0x34, 0x12}));
  EXPECT_EQ(LoadLE16(b), 0x1234);
  StoreLE32(b, 0x89ABCDEFu);
  EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{0xEF, 0xCD, 0xAB, 0x89}));
  EXPECT_EQ(LoadLE32(b), 0x89ABCDEFu);
  StoreLE64(b, 0x0102030405060708ull);
  EXPECT_EQ(std::vector<int>(b, b + 8), (std::vector<int>{8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(LoadLE64(b), 0x0102030405060708ull);
  StoreF32(b, -2.5f);  // 0xC0200000
  EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{0, 0, 0x20, 0xC0}));
  EXPECT_EQ(LoadF32(b), -2.5f);
  StoreF64(b, 0.1);
  EXPECT_EQ(LoadLE64(b), 0x3FB999999999999Aull);
  EXPECT_EQ(LoadF64(b), 0.1);
}

// The CMake function and the Bazel rules name converted files too: their maps must
// say what this table says.
TEST(AssetFormat, BuildRulesNameKindsAsTheTableDoes) {
  const std::string cmake = testing::ReadFile(QX_SOURCE_DIR "/cmake/QXConvertAssets.cmake.in");
  const std::string bazel = testing::ReadFile(QX_SOURCE_DIR "/bazel/defs.bzl");
  static const char* const kGroups[] = {"MODELS", "ANIMATIONS", "TEXTURES", "MUSIC", "SOUNDS"};
  for (const KindInfo& info : kKinds) {
    const std::string group = kGroups[static_cast<int>(info.kind) - 1];
    EXPECT_NE(cmake.find('"' + group + ':' + info.typeName + ':' + info.extension + '"'),
              std::string::npos) << info.typeName;
    EXPECT_NE(bazel.find(std::string("\"") + info.typeName + "\": \"" + info.extension + '"'),
              std::string::npos) << info.typeName;
  }
}

}  // namespace
}  // namespace qx::format
