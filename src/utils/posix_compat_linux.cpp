#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include "utils/posix_compat.h"

namespace Zentak::Util {
namespace {

// The kernel closes a range in one call (Linux 5.9 and later). Returns
// false where it cannot, so the caller closes one by one.
bool CloseRange(unsigned int first, unsigned int last)
{
#ifdef SYS_close_range
    return ::syscall(SYS_close_range, first, last, 0U) == 0;
#else
    (void)first;
    (void)last;
    return false;
#endif
}

void CloseEachFrom(int lowest, int keep)
{
    // sysconf is async-signal-safe; the limit is the soft one, above which
    // this process cannot have opened anything.
    const long limit = ::sysconf(_SC_OPEN_MAX);
    const int end = limit > 0 && limit < INT_MAX ? static_cast<int>(limit) : 1 << 20;
    for (int descriptor = lowest; descriptor < end; ++descriptor) {
        if (descriptor != keep) {
            ::close(descriptor);
        }
    }
}

} // namespace

void CloseDescriptorsFrom(int lowest, int keep)
{
    if (keep < lowest) {
        if (!CloseRange(static_cast<unsigned int>(lowest), UINT_MAX)) {
            CloseEachFrom(lowest, -1);
        }
        return;
    }
    const bool below = keep == lowest || CloseRange(static_cast<unsigned int>(lowest),
                                                    static_cast<unsigned int>(keep - 1));
    const bool above = CloseRange(static_cast<unsigned int>(keep) + 1, UINT_MAX);
    if (!below || !above) {
        CloseEachFrom(lowest, keep);
    }
}

} // namespace Zentak::Util
