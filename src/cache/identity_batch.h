// The identities of many files at once, in the compact form a content cache
// keeps: one fixed-size record per path, compared as bytes. Queries run on
// several threads when the list is long, since each one waits on the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/file_identity.h"

namespace tov::cache {

// Layout of one record, every field in the machine's byte order: device,
// inode, size, modification and change time (ns) as 64-bit integers, then
// the kind (platform::FileKind), then zero bytes up to kRecordSize. Equal
// records mean no key a cache relies on moved.
inline constexpr std::size_t kRecordSize = 48;
inline constexpr std::size_t kKindOffset = 40;

// The error slot of a path whose failure has no system code (a NUL inside
// it); system failures keep their own positive code, successes hold 0.
inline constexpr std::int32_t kNotSystemError = -1;

void encode_record(const platform::FileMetadata& identity, std::uint8_t* record);

// Queries every path, following links; `records` holds kRecordSize bytes per
// path and `errors` one slot per path. A failed path's record is all zero.
// `threads` caps the threads used (0: as many as the processors).
void query_identities(std::span<const std::string_view> paths, std::span<std::uint8_t> records,
                      std::span<std::int32_t> errors, std::size_t threads = 0);

}  // namespace tov::cache
