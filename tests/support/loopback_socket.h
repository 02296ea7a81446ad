#pragma once

namespace Zentak::Test {

// A TCP socket on 127.0.0.1 at a port the system picks, closed by the
// destructor. Bound only, it refuses connections. Listening, the system
// completes every connection and takes its request whether or not anyone
// accepts it: unless the test accepts them, a service that never answers.
class LoopbackSocket {
public:
    enum class State { Bound, Listening };

    // Throws std::runtime_error when the socket cannot be made.
    explicit LoopbackSocket(State state);
    ~LoopbackSocket();

    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    int Descriptor() const { return m_descriptor; }
    int Port() const { return m_port; }

private:
    int m_descriptor = -1;
    int m_port = 0;
};

// A port on 127.0.0.1 nobody listens on: bound, then closed again.
int ClosedLoopbackPort();

} // namespace Zentak::Test
