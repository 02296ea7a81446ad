#include <unistd.h>

#include "utils/posix_compat.h"

namespace Zentak::Util {

void CloseDescriptorsFrom(int lowest, int keep)
{
    // Darwin has no call that closes a range, so each descriptor below the
    // open-files limit is closed (sysconf is async-signal-safe). Nothing is
    // opened at or above that limit, 256 unless raised; this program never
    // raises it. An unlimited setting reads as a huge number: the loop
    // stops at a bound that keeps it to a fraction of a second.
    constexpr long kMostDescriptors = 1L << 16;
    const long limit = ::sysconf(_SC_OPEN_MAX);
    const int end =
        static_cast<int>(limit > 0 && limit < kMostDescriptors ? limit : kMostDescriptors);
    for (int descriptor = lowest; descriptor < end; ++descriptor) {
        if (descriptor != keep) {
            ::close(descriptor);
        }
    }
}

} // namespace Zentak::Util
