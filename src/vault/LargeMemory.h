#pragma once

#include <cstddef>

// Buffers of many megabytes (the lines of a large import, the table that
// finds its duplicates) are written once from end to end, and faulting them
// in a page of 4 KiB at a time costs more than filling them. Where the
// system offers it, such a buffer asks for huge pages: one fault then maps
// 2 MiB. Only whole huge pages inside the buffer are asked for, so no byte
// outside it is touched; where the system has none, nothing changes.
namespace largememory {

// The buffers for which asking is worth a system call.
inline constexpr std::size_t kWorthAsking = std::size_t(4) << 20;

// Asks for huge pages for the part of `size` bytes at `data` not yet
// written. Only a hint: the bytes and their use stay as they are.
void adviseHugePages(void* data, std::size_t size);

} // namespace largememory
