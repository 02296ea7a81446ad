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

// Closes every descriptor from `lowest` up, except `keep` (-1 keeps none).
// Meant for a child between fork and exec, where descriptors that other
// code opened without close-on-exec (libcurl's sockets, files opened by a
// library) would otherwise reach the program started: it makes only
// async-signal-safe calls and allocates nothing.
void CloseDescriptorsFrom(int lowest, int keep);

// Names the calling thread for debuggers and process listings (at most 15
// characters are kept).
void SetCurrentThreadName(const char* name);

} // namespace Zentak::Util
