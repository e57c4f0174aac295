#include "format/scramble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace qx {
namespace {

// Worked by hand from the fill-and-mix rule. Fill: "Rk2_Vault_Seed" then "Rk".
// j=0: f='R'=82, t=(328+5*1)%256=77=0x4D, S=1+7=8.
// j=1: f='k'=107, t=(428+5*8)%256=212=0xD4, S=8+21=29.
// j=2: f='2'=50, t=(200+5*29)%256=345%256=89=0x59, S=29+8=37. And so on.
constexpr AssetKey kBuiltInKey = {0x4D, 0xD4, 0x59, 0x35, 0x2A, 0x6A, 0xEC, 0x3B,
                                  0x74, 0x57, 0x4F, 0xBA, 0x14, 0x1A, 0xDC, 0xAE};

AssetKey Derive(std::string_view phrase) {
  AssetKey key;
  key.fill(0xEE);  // whatever was there must not matter
  EXPECT_TRUE(DeriveAssetKey(phrase, key));
  return key;
}

TEST(DeriveAssetKey, BuiltInPassPhraseGivesTheKnownKey) {
  EXPECT_EQ(Derive(kPassPhrase), kBuiltInKey);
}

TEST(DeriveAssetKey, FillRepeatsShortPhrasesAndCutsLongOnes) {
  // Only the first 16 bytes of a long phrase count.
  EXPECT_EQ(Derive("0123456789abcdefXYZ"), Derive("0123456789abcdef"));
  // Lengths dividing 16 repeat whole; "ab" fills like "abababababababab".
  EXPECT_EQ(Derive("ab"), Derive("abababababababab"));
  // Other lengths end with a partial copy of the beginning.
  EXPECT_EQ(Derive("abcde"), Derive("abcdeabcdeabcdea"));
  // A single byte: key[0] = 4*'A' + 5 = 265 % 256 = 9.
  EXPECT_EQ(Derive("A")[0], 9);
}

TEST(DeriveAssetKey, OnlyTheLowSixBitsOfFillBytesCountAndChangesOnlyReachLaterBytes) {
  // 'A' (0x41) and 0xC1 differ only in the two high bits.
  EXPECT_EQ(Derive("A123456789abcdef"), Derive("\xC1"
                                               "123456789abcdef"));
  const AssetKey base = Derive("0123456789abcdef");
  const AssetKey changed = Derive("0123456X89abcdef");
  for (int j = 0; j < 7; ++j) EXPECT_EQ(base[j], changed[j]) << j;
  EXPECT_NE(base[7], changed[7]);
}

TEST(DeriveAssetKey, EmptyPhraseIsRefused) {
  AssetKey key;
  key.fill(0xEE);
  EXPECT_FALSE(DeriveAssetKey("", key));
  EXPECT_EQ(key, AssetKey{});
}

TEST(ScramblePayload, KnownAnswersForEachKindOfKeyByte) {
  // Key byte 0 leaves bytes alone, 1..9 only XOR, 10 and up XOR then add a tenth.
  AssetKey key{};
  key[1] = 7;
  key[2] = 10;
  key[3] = 255;
  std::uint8_t data[17] = {0x12, 0x12, 0x12, 0xF0};
  data[16] = 0x99;
  ScramblePayload(key, data, 17, 0);
  EXPECT_EQ(data[0], 0x12);                        // k=0
  EXPECT_EQ(data[1], 0x12 ^ 7);                    // k=7: 0x15
  EXPECT_EQ(data[2], (0x12 ^ 10) + 1);             // k=10: 0x18 + 1
  EXPECT_EQ(data[3], ((0xF0 ^ 0xFF) + 25) % 256);  // 0x0F + 25 = 0x28
  EXPECT_EQ(data[16], 0x99);                       // offset 16 wraps to key[0] = 0
}

TEST(ScramblePayload, BuiltInKeyOnAKnownPayload) {
  // "hello": 'h'=0x68^0x4D=0x25,+7=0x2C; 'e'=0x65^0xD4=0xB1,+21=0xC6;
  // 'l'=0x6C^0x59=0x35,+8=0x3D; 'l'=0x6C^0x35=0x59,+5=0x5E; 'o'=0x6F^0x2A=0x45,+4=0x49.
  std::uint8_t data[] = {'h', 'e', 'l', 'l', 'o'};
  ScramblePayload(kBuiltInKey, data, 5, 0);
  const std::uint8_t expected[] = {0x2C, 0xC6, 0x3D, 0x5E, 0x49};
  EXPECT_EQ(0, std::memcmp(data, expected, 5));
}

TEST(ScramblePayload, InverseRestoresEveryByteValueForEveryKeyByte) {
  for (int k = 0; k < 256; ++k) {
    AssetKey key;
    key.fill(static_cast<std::uint8_t>(k));
    std::vector<std::uint8_t> data(256 * 16);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i / 16);
    const auto original = data;
    ScramblePayload(key, data.data(), static_cast<std::uint32_t>(data.size()), 0);
    // One-to-one: all 256 values map to 256 distinct results.
    std::vector<bool> seen(256);
    for (std::size_t v = 0; v < 256; ++v) seen[data[v * 16]] = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256) << "key byte " << k;
    UnscramblePayload(key, data.data(), static_cast<std::uint32_t>(data.size()), 0);
    EXPECT_EQ(data, original) << "key byte " << k;
  }
}

using Transform = void (*)(const AssetKey&, std::uint8_t*, std::uint32_t);

void ScrambleFromZero(const AssetKey& key, std::uint8_t* data, std::uint32_t size) {
  ScramblePayload(key, data, size, 0);
}
void UnscrambleFromZero(const AssetKey& key, std::uint8_t* data, std::uint32_t size) {
  UnscramblePayload(key, data, size, 0);
}

// The fast paths must equal the byte loop for every length around the block sizes
// and for starts that are not aligned.
void ExpectSameAsPlain(Transform fast, Transform plain) {
  std::vector<std::uint8_t> buffer(64 + 16 + 16);
  for (std::uint32_t start = 0; start < 16; ++start) {
    for (std::uint32_t length = 0; length <= 64; ++length) {
      for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<std::uint8_t>(i * 37 + start + length);
      }
      auto expected = buffer;
      fast(kBuiltInKey, buffer.data() + start, length);
      plain(kBuiltInKey, expected.data() + start, length);
      ASSERT_EQ(buffer, expected) << "start " << start << " length " << length;
    }
  }
}

TEST(ScramblePayloadFastPaths, MatchTheByteLoop) {
  ExpectSameAsPlain(ScrambleFromZero, ScramblePayloadPlain);
  ExpectSameAsPlain(UnscrambleFromZero, UnscramblePayloadPlain);
  ExpectSameAsPlain(ScramblePayloadPortable, ScramblePayloadPlain);
  ExpectSameAsPlain(UnscramblePayloadPortable, UnscramblePayloadPlain);
}

TEST(ScramblePayloadFastPaths, MatchTheByteLoopOnALargeRandomBuffer) {
  std::vector<std::uint8_t> data(1 << 20);
  std::uint32_t state = 12345;
  for (auto& b : data) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  auto whole = data;
  ScramblePayloadPlain(kBuiltInKey, whole.data() + 3, static_cast<std::uint32_t>(whole.size() - 3));
  for (Transform fast : {ScrambleFromZero, ScramblePayloadPortable}) {
    auto a = data;
    fast(kBuiltInKey, a.data() + 3, static_cast<std::uint32_t>(a.size() - 3));
    EXPECT_EQ(a, whole);
  }
  // In slices of odd sizes, each at its payload offset: the same bytes.
  auto sliced = data;
  for (std::uint32_t at = 3, size = 1; at < sliced.size(); at += size, size = size * 3 + 1) {
    size = std::min<std::uint32_t>(size, static_cast<std::uint32_t>(sliced.size()) - at);
    ScramblePayload(kBuiltInKey, sliced.data() + at, size, at - 3);
  }
  EXPECT_EQ(sliced, whole);
}

}  // namespace
}  // namespace qx
