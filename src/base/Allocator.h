#pragma once

#include <malloc.h>

namespace tarvik {

// glibc raises its threshold for giving large blocks their own mapping each time such a block
// is freed. A full dump's arrays (megabytes at 100,000 rows) then come from the heap, and the
// heap stays as large as the biggest burst for good. A fixed threshold keeps them mapped on
// their own and returned whole when freed. Call once, first thing in main.
inline void KeepLargeBlocksMapped() {
#ifdef __GLIBC__
    constexpr int kOwnMappingFrom = 1 << 20;
    ::mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
#endif
}

// Gives the pages of freed small blocks back to the system: after a full snapshot the merge's
// burst leaves free pages in every thread's heap that would otherwise stay resident.
inline void ReturnFreedMemory() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

}  // namespace tarvik
