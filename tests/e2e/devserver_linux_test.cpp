// The development server listens on loopback only: read from the kernel's
// socket tables, which only Linux offers this way.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "harness/dev_server.h"
#include "harness/temp_dir.h"

namespace Zentak::E2e {
namespace {

TEST(DevServerLinux, ListensOnLoopbackOnly)
{
    TempDir temp{"zentak-devserver"};
    DevServer server(temp.Sub("content"), temp.Sub("state"));
    // Every listening socket on the server's port.
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, "%04X", server.Port());
    std::vector<std::string> addresses;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream in(ReadFile(table));
        std::string line;
        std::getline(in, line); // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const auto colon = local.find(':');
            if (state == "0A" && colon != std::string::npos && local.substr(colon + 1) == portHex) {
                addresses.push_back(local.substr(0, colon));
            }
        }
    }
    EXPECT_EQ(addresses, std::vector<std::string>{"0100007F"});
}

} // namespace
} // namespace Zentak::E2e
