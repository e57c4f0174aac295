#include "format/scramble.h"

#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define QX_HAVE_SSE2 1
#endif

namespace qx {
namespace {

// Per-byte additive part of the transform: a tenth of the key byte.
AssetKey KeyTenths(const AssetKey& key) {
  AssetKey tenths;
  for (std::size_t i = 0; i < kKeyPeriod; ++i) tenths[i] = static_cast<std::uint8_t>(key[i] / 10);
  return tenths;
}

#ifdef QX_HAVE_SSE2

// Sixteen bytes per vector, so lane j always meets key byte j: the key period equals
// the vector width and no rotation is needed. Four vectors per step keep the loads
// and stores streaming.
static_assert(kKeyPeriod == sizeof(__m128i), "one key period per vector");

template <bool kScramble>
std::uint32_t TransformBlocksSse2(const AssetKey& key, std::uint8_t* data, std::uint32_t size) {
  const AssetKey tenths = KeyTenths(key);
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key.data()));
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tenths.data()));
  auto apply = [&](__m128i v) {
    return kScramble ? _mm_add_epi8(_mm_xor_si128(v, x), a) : _mm_xor_si128(_mm_sub_epi8(v, a), x);
  };
  std::uint32_t i = 0;
  for (; i + 64 <= size; i += 64) {
    auto* p = reinterpret_cast<__m128i*>(data + i);
    const __m128i v0 = _mm_loadu_si128(p);
    const __m128i v1 = _mm_loadu_si128(p + 1);
    const __m128i v2 = _mm_loadu_si128(p + 2);
    const __m128i v3 = _mm_loadu_si128(p + 3);
    _mm_storeu_si128(p, apply(v0));
    _mm_storeu_si128(p + 1, apply(v1));
    _mm_storeu_si128(p + 2, apply(v2));
    _mm_storeu_si128(p + 3, apply(v3));
  }
  for (; i + kKeyPeriod <= size; i += kKeyPeriod) {
    auto* p = reinterpret_cast<__m128i*>(data + i);
    _mm_storeu_si128(p, apply(_mm_loadu_si128(p)));
  }
  return i;
}

#endif

// Portable path: eight lanes in a 64-bit word. The bytewise add keeps carries from
// crossing lanes by adding the low seven bits and fixing the top bit with XOR.
constexpr std::uint64_t kHigh = 0x8080808080808080ull;

inline std::uint64_t AddBytes(std::uint64_t v, std::uint64_t a) {
  return ((v & ~kHigh) + (a & ~kHigh)) ^ ((v ^ a) & kHigh);
}

inline std::uint64_t SubBytes(std::uint64_t v, std::uint64_t a) {
  return ((v | kHigh) - (a & ~kHigh)) ^ ((v ^ ~a) & kHigh);
}

static_assert(kKeyPeriod == 2 * sizeof(std::uint64_t), "one key period per two words");

template <bool kScramble>
std::uint32_t TransformBlocksPortable(const AssetKey& key, std::uint8_t* data, std::uint32_t size) {
  const AssetKey tenths = KeyTenths(key);
  std::uint64_t x[2], a[2];
  std::memcpy(x, key.data(), kKeyPeriod);
  std::memcpy(a, tenths.data(), kKeyPeriod);
  std::uint32_t i = 0;
  for (; i + kKeyPeriod <= size; i += kKeyPeriod) {
    std::uint64_t v[2];
    std::memcpy(v, data + i, kKeyPeriod);
    for (int h = 0; h < 2; ++h)
      v[h] = kScramble ? AddBytes(v[h] ^ x[h], a[h]) : SubBytes(v[h], a[h]) ^ x[h];
    std::memcpy(data + i, v, kKeyPeriod);
  }
  return i;
}

template <bool kScramble>
std::uint32_t TransformBlocks(const AssetKey& key, std::uint8_t* data, std::uint32_t size) {
#ifdef QX_HAVE_SSE2
  return TransformBlocksSse2<kScramble>(key, data, size);
#else
  return TransformBlocksPortable<kScramble>(key, data, size);
#endif
}

}  // namespace

bool DeriveAssetKey(std::string_view passPhrase, AssetKey& key) {
  if (passPhrase.empty()) {
    key.fill(0);
    return false;
  }
  const std::size_t n = passPhrase.size();
  for (std::size_t j = 0; j < kKeyPeriod; ++j) key[j] = static_cast<std::uint8_t>(passPhrase[j % n]);
  // The running sum only ever enters modulo 256, so an 8-bit sum that wraps is exact.
  std::uint8_t sum = 1;
  for (std::size_t j = 0; j < kKeyPeriod; ++j) {
    const auto t = static_cast<std::uint8_t>(4 * key[j] + 5 * sum);
    key[j] = t;
    sum = static_cast<std::uint8_t>(sum + t / 10);
  }
  return true;
}

void ScramblePayloadPlain(const AssetKey& key, std::uint8_t* data, std::uint32_t size) {
  for (std::uint32_t i = 0; i < size; ++i) {
    const std::uint8_t k = key[i % kKeyPeriod];
    data[i] = static_cast<std::uint8_t>((data[i] ^ k) + k / 10);
  }
}

void UnscramblePayloadPlain(const AssetKey& key, std::uint8_t* data, std::uint32_t size) {
  for (std::uint32_t i = 0; i < size; ++i) {
    const std::uint8_t k = key[i % kKeyPeriod];
    data[i] = static_cast<std::uint8_t>((data[i] - k / 10) ^ k);
  }
}

namespace {

// The key as seen from a payload offset: byte i of it is the one that offset + i uses.
AssetKey KeyFrom(const AssetKey& key, std::uint64_t offset) {
  AssetKey turned;
  for (std::size_t i = 0; i < kKeyPeriod; ++i) turned[i] = key[(offset + i) % kKeyPeriod];
  return turned;
}

}  // namespace

void ScramblePayload(const AssetKey& key, std::uint8_t* data, std::uint32_t size,
                     std::uint64_t offset) {
  const AssetKey turned = KeyFrom(key, offset);
  const std::uint32_t done = TransformBlocks<true>(turned, data, size);
  // The blocks end on a multiple of the key period, so the tail starts at the same key byte again.
  ScramblePayloadPlain(turned, data + done, size - done);
}

void UnscramblePayload(const AssetKey& key, std::uint8_t* data, std::uint32_t size,
                       std::uint64_t offset) {
  const AssetKey turned = KeyFrom(key, offset);
  const std::uint32_t done = TransformBlocks<false>(turned, data, size);
  UnscramblePayloadPlain(turned, data + done, size - done);
}

void ScramblePayloadPortable(const AssetKey& key, std::uint8_t* data, std::uint32_t size) {
  const std::uint32_t done = TransformBlocksPortable<true>(key, data, size);
  ScramblePayloadPlain(key, data + done, size - done);
}

void UnscramblePayloadPortable(const AssetKey& key, std::uint8_t* data, std::uint32_t size) {
  const std::uint32_t done = TransformBlocksPortable<false>(key, data, size);
  UnscramblePayloadPlain(key, data + done, size - done);
}

}  // namespace qx
