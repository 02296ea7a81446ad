#include "external/proxy.h"

#include <cstdlib>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace Zentak::Networking {
namespace {

// libproxy reads the environment through its built-in "envvar" settings
// module. Settings modules of a desktop (installed as plug-ins) would win over
// it when their desktop is detected; an empty module folder keeps them out.
class ProxyEnvironmentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // glibc rereads the zone file on every mktime(3) while TZ is unset,
        // under a lock ThreadSanitizer cannot see; glog's time stamps would
        // then show up as a race in threaded tests.
        ::setenv("TZ", ":/etc/localtime", 0);
        m_modules = boost::filesystem::temp_directory_path() /
                    boost::filesystem::unique_path("proxy-modules-%%%%-%%%%");
        boost::filesystem::create_directories(m_modules);
        ::setenv("PX_MODULE_PATH", m_modules.c_str(), 1);
        for (const char* name : kVariables) {
            ::unsetenv(name);
        }
    }
    void TearDown() override
    {
        for (const char* name : kVariables) {
            ::unsetenv(name);
        }
        ::unsetenv("PX_MODULE_PATH");
        boost::system::error_code ignored;
        boost::filesystem::remove_all(m_modules, ignored);
    }

    static constexpr const char* kVariables[] = {"http_proxy", "HTTP_PROXY", "https_proxy",
                                                  "HTTPS_PROXY", "no_proxy", "NO_PROXY",
                                                  "all_proxy", "ALL_PROXY"};
    boost::filesystem::path m_modules;
};

TEST_F(ProxyEnvironmentTest, ReportsTheProxyOfTheEnvironment)
{
    ::setenv("http_proxy", "http://127.0.0.1:3128", 1);
    NativeProxyProvider provider;
    const ProxyInfo info = provider.getProxy("http://example.invalid/x");
    EXPECT_EQ(info.kind, 1);
    EXPECT_EQ(info.host, "http://127.0.0.1");
    EXPECT_EQ(info.port, 3128);
}

TEST_F(ProxyEnvironmentTest, HonoursNoProxyAndSchemeSpecificSettings)
{
    ::setenv("http_proxy", "http://127.0.0.1:3128", 1);
    ::setenv("https_proxy", "socks5://u:p@127.0.0.1:1081", 1);
    ::setenv("no_proxy", "direct.invalid", 1);
    NativeProxyProvider provider;
    const ProxyInfo secure = provider.getProxy("https://example.invalid/x");
    EXPECT_EQ(secure.kind, 3);
    EXPECT_EQ(secure.host, "socks5://u:p@127.0.0.1");
    EXPECT_EQ(secure.port, 1081);
    EXPECT_EQ(provider.getProxy("http://direct.invalid/x").kind, 0);
}

TEST_F(ProxyEnvironmentTest, WithoutProxySettingsConnectsDirectly)
{
    NativeProxyProvider provider;
    const ProxyInfo info = provider.getProxy("http://example.invalid/x");
    EXPECT_EQ(info.kind, 0);
    EXPECT_EQ(info.host, "");
    EXPECT_EQ(info.port, 0);
    EXPECT_EQ(provider.getProxy("not a url").kind, 0);
}

TEST_F(ProxyEnvironmentTest, ConcurrentQueriesAgree)
{
    ::setenv("http_proxy", "http://127.0.0.1:3128", 1);
    NativeProxyProvider provider;
    std::vector<std::thread> threads;
    std::vector<int> ports(4, 0);
    for (size_t t = 0; t < ports.size(); ++t) {
        threads.emplace_back([&provider, &ports, t] {
            for (int i = 0; i < 25; ++i) {
                const ProxyInfo info = provider.getProxy("http://example.invalid/" +
                                                         std::to_string(i));
                if (info.kind != 1 || info.port != 3128) {
                    return;
                }
            }
            ports[t] = 3128;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(ports, std::vector<int>(4, 3128));
}

} // namespace
} // namespace Zentak::Networking
