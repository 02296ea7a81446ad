#pragma once

#include <string>

namespace Zentak::Bench {

// A small HTTP/1.1 file server for benchmarks: every GET of /<name> is
// answered from <directory>/<name> with sendfile(2), so that the server is
// not what limits a loopback transfer. GET /stall sends the headers of a
// large body and then nothing, until the client goes away.
//
// Runs in the calling process until it is killed; meant for a child process
// of the benchmark, so that it shows in none of the benchmark's figures.
// Writes the port it listens on (127.0.0.1) to `portPipe` first.
[[noreturn]] void RunSendfileServer(const std::string& directory, int portPipe);

} // namespace Zentak::Bench
