// The binary index at the head of model_weights.bin. All integers are
// little-endian; the region has no magic and no checksum (the manifest
// carries the file's SHA-256).
//
//   offset 0                       header (24 bytes): indexSize u64,
//                                  residentSize u64, entryCount u64
//   offset 24                      entryCount entries of 72 bytes, plan order
//   offset 24 + 72 * entryCount    string table: every name's UTF-8 bytes,
//                                  concatenated, no terminators
//   ... up to indexSize            zero bytes
//   offset indexSize               resident payload (residentSize bytes)
//
// Entry layout: name offset u32 (absolute, from the start of the file), name
// length u16, dtype u8, reserved u8 (0), fileOffset u64, sizeBytes u64,
// shape u32 x 4 (trailing dimensions 0), scaleOffset u64, scaleSize u64,
// biasOffset u64, biasSize u64. Absent scales or biases are offset 0, size 0.
// indexSize is the header, table and strings rounded up to 16 KiB pages.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct KorvexResidentIndexHeaderV1 {
  uint64_t indexSize = 0;
  uint64_t residentSize = 0;
  uint64_t entryCount = 0;
  bool operator==(const KorvexResidentIndexHeaderV1&) const = default;
};

struct KorvexResidentIndexEntryV1 {
  std::string name;
  uint8_t dtype = 0;
  uint64_t fileOffset = 0;
  uint64_t sizeBytes = 0;
  std::array<uint32_t, 4> shape{};
  uint64_t scaleOffset = 0;
  uint64_t scaleSize = 0;
  uint64_t biasOffset = 0;
  uint64_t biasSize = 0;
  bool operator==(const KorvexResidentIndexEntryV1&) const = default;
};

namespace KorvexResidentIndexCodec {

// The index region size for a table of `entryCount` entries and a string
// table of `stringTableBytes`: rounded up to the next 16 KiB multiple (an
// exact multiple stays), at least one page. Overflow is a KorvexFormatError.
uint64_t indexSizeFor(uint64_t entryCount, uint64_t stringTableBytes);

// Stores the header at into[0, 24).
void writeHeader(std::span<uint8_t> into, const KorvexResidentIndexHeaderV1& header);

// Stores one entry at into[0, 72); nameOffset is absolute in the file.
void writeEntry(std::span<uint8_t> into, const KorvexResidentIndexEntryV1& entry,
                uint32_t nameOffset);

// Reads the header from the first 24 bytes; fewer is truncated("resident.header").
KorvexResidentIndexHeaderV1 decodeHeader(std::span<const uint8_t> bytes);

// Validates the region (the file's first indexSize bytes or more) against its
// header and returns the entries in file order. Never reads outside `bytes`.
std::vector<KorvexResidentIndexEntryV1> decodeRegion(std::span<const uint8_t> bytes,
                                                     const KorvexResidentIndexHeaderV1& header);

}  // namespace KorvexResidentIndexCodec
