#pragma once

namespace Zentak::Test {

inline ssize_t SendNoSignal(int descriptor, const void* data, std::size_t size)
{
    return ::send(descriptor, data, size, MSG_NOSIGNAL);
}

} // namespace Zentak::Test
