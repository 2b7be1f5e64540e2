#pragma once

// adviseHugePages: asks the kernel to back a large buffer with 2 MiB pages where it can.
//
// A 10-minute channel is 106 MB: in 4 KiB pages its first touch costs 26,000 page faults
// (about 0.03 s of one core, and more while another thread faults too); in 2 MiB pages, 51.
// Many systems give such pages only to memory that asks for them (transparent huge pages in
// "madvise" mode), so the buffers that hold whole channels ask, before they are first written.
// Only the whole 2 MiB pages inside [data, data + bytes) are advised; a buffer smaller than
// that, a kernel without the feature, or a refusal changes nothing but the speed.
//
// Thread: any. Allocation: none.

#include <cstddef>

namespace taln {

void adviseHugePages(void* data, std::size_t bytes) noexcept;

} // namespace taln
