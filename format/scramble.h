// Payload scrambling. Every payload byte is XORed with a key byte chosen by its
// offset (period 16) and then raised by a tenth of that key byte, modulo 256. It
// keeps casual eyes out of shipped assets; it is not encryption. The key comes from a
// fixed pass phrase, is derived afresh in every run and is never written anywhere.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace qx {

// The key repeats every kKeyPeriod payload bytes.
inline constexpr std::size_t kKeyPeriod = 16;
using AssetKey = std::array<std::uint8_t, kKeyPeriod>;

// The pass phrase built into the converter and into every reader of its files.
inline constexpr std::string_view kPassPhrase = "Rk2_Vault_Seed";

// Derives the 16-byte key from a pass phrase of at least one byte. An empty pass
// phrase has no key: the key is zeroed and the result is false.
bool DeriveAssetKey(std::string_view passPhrase, AssetKey& key);

// Scrambles size bytes in place, data[0] being the payload byte at offset: a payload
// scrambled in slices of any size, each at its own offset, is the same as scrambled whole.
void ScramblePayload(const AssetKey& key, std::uint8_t* data, std::uint32_t size,
                     std::uint64_t offset);

// The reader's inverse of ScramblePayload.
void UnscramblePayload(const AssetKey& key, std::uint8_t* data, std::uint32_t size,
                       std::uint64_t offset);

// The byte-at-a-time definitions, from offset 0, kept as the reference the fast paths
// are tested against.
void ScramblePayloadPlain(const AssetKey& key, std::uint8_t* data, std::uint32_t size);
void UnscramblePayloadPlain(const AssetKey& key, std::uint8_t* data, std::uint32_t size);
// The word-at-a-time path used where no vector unit is known; built everywhere so it
// is tested everywhere.
void ScramblePayloadPortable(const AssetKey& key, std::uint8_t* data, std::uint32_t size);
void UnscramblePayloadPortable(const AssetKey& key, std::uint8_t* data, std::uint32_t size);

}  // namespace qx
