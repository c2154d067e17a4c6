// Snapshots: a graph's whole state as bytes, and back.
//
// The layout (docs/snapshot-format.md has the full description): all numbers
// little-endian, no padding.
//
//   header, 64 bytes:
//      0  magic "\x89QRL\r\n\x1a\n"       8  format version (u32)
//     12  flags (u32; bit 0: built)      16  kernel version (16 bytes, ASCII, NUL-padded)
//     32  node count n (u64)             40  deps entry count d (u64)
//     48  id byte count b (u64)          56  epoch counter (u64)
//   columns, one entry per node in node-index order:
//     kind (u8), state (u8), flags (u8; bit 0: has signature),
//     id length (u32), deps count (u32), epoch (u64), signature (u64),
//     content hash (u64)
//   ids back to back (b bytes), deps back to back (d x u32),
//   the cached order (n x u32, only when built),
//   checksum (u64) of every byte before it.
//
// The encoding is canonical: a graph has exactly one snapshot, so an input
// that restores re-encodes to itself (kernel version field aside). The id
// index is not stored; it is rebuilt on restore with this process's hashing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quorl::core {

inline constexpr unsigned char snapshot_magic[8] = {0x89, 'Q', 'R', 'L', '\r', '\n', 0x1A, '\n'};
inline constexpr std::uint32_t snapshot_format_version = 1;
inline constexpr std::size_t snapshot_header_size = 64;
inline constexpr std::size_t snapshot_version_field = 16;
inline constexpr std::size_t snapshot_checksum_size = 8;
// Bytes per node in the columns, and per node again for the cached order.
inline constexpr std::size_t snapshot_column_bytes = 3 + 4 + 4 + 8 + 8 + 8;

inline constexpr std::uint32_t snapshot_flag_built = 1;
inline constexpr std::uint8_t snapshot_node_has_signature = 1;

// Why a snapshot was refused, saying what is wrong and where.
struct SnapshotError {
    std::string message;
};

// The 64-bit checksum of the format: four lanes of multiply-fold over
// 32-byte blocks, then the length. Fast enough to be lost in the copy.
std::uint64_t snapshot_checksum(std::span<const std::byte> data) noexcept;

}  // namespace quorl::core
