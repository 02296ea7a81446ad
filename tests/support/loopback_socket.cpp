#include "support/loopback_socket.h"
#include "support/posix_compat.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace Zentak::Test {

LoopbackSocket::LoopbackSocket(State state) : m_descriptor(TcpSocket())
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_descriptor < 0 ||
        bind(m_descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (state == State::Listening && listen(m_descriptor, 64) != 0) ||
        getsockname(m_descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (m_descriptor >= 0) {
            close(m_descriptor);
        }
        throw std::runtime_error("cannot open a socket on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
}

LoopbackSocket::~LoopbackSocket()
{
    close(m_descriptor);
}

int ClosedLoopbackPort()
{
    return LoopbackSocket(LoopbackSocket::State::Bound).Port();
}

} // namespace Zentak::Test
