#pragma once

#include <mutex>

namespace Zentak::Util {

// Held around every fork of the program and around every creation of a
// descriptor that is made close-on-exec in a second step: between the two
// steps a child forked by another thread would inherit the descriptor.
std::mutex& ForkMutex();

// pipe() whose two ends are close-on-exec. Call it with ForkMutex() held.
// Returns 0, or -1 with errno set.
int PipeCloseOnExec(int fds[2]);

// Names the calling thread for debuggers and process listings (at most 15
// characters are kept).
void SetCurrentThreadName(const char* name);

} // namespace Zentak::Util
