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
#include <vector>

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

// Descriptors opened the way a careless library opens them: without
// close-on-exec, so that every child started while they are open inherits
// them unless it closes them itself. Closed when the object goes.
class InheritableDescriptors {
public:
    InheritableDescriptors() = default;
    InheritableDescriptors(const InheritableDescriptors&) = delete;
    InheritableDescriptors& operator=(const InheritableDescriptors&) = delete;
    ~InheritableDescriptors()
    {
        for (int descriptor : m_open) {
            ::close(descriptor);
        }
    }

    // A file opened for reading; -1 when it cannot be.
    int Open(const char* path) { return Keep(::open(path, O_RDONLY)); }
    // Both ends of a pipe; false when it cannot be made.
    bool Pipe()
    {
        int ends[2];
        if (::pipe(ends) != 0) {
            return false;
        }
        Keep(ends[0]);
        Keep(ends[1]);
        return true;
    }
    // A copy of `from` at the number `at` (dup2 clears close-on-exec).
    int CopyTo(int from, int at) { return Keep(::dup2(from, at) == at ? at : -1); }
    const std::vector<int>& Numbers() const { return m_open; }

private:
    int Keep(int descriptor)
    {
        if (descriptor >= 0) {
            m_open.push_back(descriptor);
        }
        return descriptor;
    }

    std::vector<int> m_open;
};

// send() that reports a closed peer as EPIPE instead of raising SIGPIPE.
ssize_t SendNoSignal(int descriptor, const void* data, std::size_t size);

} // namespace Zentak::Test

#if defined(__APPLE__)
#include "support/posix_compat_mac.h"
#else
#include "support/posix_compat_linux.h"
#endif
