#include "utils/posix_compat.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace Zentak::Util {

std::mutex& ForkMutex()
{
    static std::mutex mutex;
    return mutex;
}

int PipeCloseOnExec(int fds[2])
{
    if (::pipe(fds) != 0) {
        return -1;
    }
    for (int i = 0; i < 2; ++i) {
        if (::fcntl(fds[i], F_SETFD, FD_CLOEXEC) != 0) {
            const int error = errno;
            ::close(fds[0]);
            ::close(fds[1]);
            errno = error;
            return -1;
        }
    }
    return 0;
}

} // namespace Zentak::Util
