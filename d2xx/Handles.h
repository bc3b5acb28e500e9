// Handle numbering shared by the drivers behind the seam.
#pragma once

#include <cstdint>

#include "d2xx/d2xx.h"

namespace d2xx {

// The first handle after Last that InUse (a map keyed by handle) does not hold, counting
// 1, 2, ... INT32_MAX and then from 1 again: never 0 or negative, and an open handle is never
// handed out twice. A closed one comes back only after about 2^31 opens.
template <class Map>
FT_HANDLE NextFreeHandle(FT_HANDLE Last, const Map& InUse) {
    FT_HANDLE h = Last;
    do {
        h = h <= 0 || h == INT32_MAX ? 1 : h + 1;
    } while (InUse.count(h) != 0);
    return h;
}

}  // namespace d2xx
