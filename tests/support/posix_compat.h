#pragma once

// The few socket and pipe calls tests need, in a form both Linux and macOS
// have. Descriptors come close-on-exec, so programs the tests start do not
// inherit them.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

namespace Zentak::Test {

inline int CloseOnExec(int descriptor)
{
    if (descriptor >= 0) {
        ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    }
    return descriptor;
}

// A TCP socket (IPv4).
inline int TcpSocket()
{
    return CloseOnExec(::socket(AF_INET, SOCK_STREAM, 0));
}

inline int AcceptConnection(int listener)
{
    return CloseOnExec(::accept(listener, nullptr, nullptr));
}

inline int MakePipe(int descriptors[2])
{
    if (::pipe(descriptors) != 0) {
        return -1;
    }
    CloseOnExec(descriptors[0]);
    CloseOnExec(descriptors[1]);
    return 0;
}

// dup2 whose copy is close-on-exec.
inline int Duplicate(int from, int to)
{
    return ::dup2(from, to) == to ? CloseOnExec(to) : -1;
}

// send() that reports a closed peer as EPIPE instead of raising SIGPIPE.
ssize_t SendNoSignal(int descriptor, const void* data, std::size_t size);

} // namespace Zentak::Test

#if defined(__APPLE__)
#include "support/posix_compat_mac.h"
#else
#include "support/posix_compat_linux.h"
#endif
