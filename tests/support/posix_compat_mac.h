#pragma once

namespace Zentak::Test {

// Darwin has no MSG_NOSIGNAL; the socket option does the same for every
// later send on the socket.
inline ssize_t SendNoSignal(int descriptor, const void* data, std::size_t size)
{
    const int on = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
    return ::send(descriptor, data, size, 0);
}

} // namespace Zentak::Test
