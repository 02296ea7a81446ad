#include "logic/config/config_check.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace Zentak {
namespace {

const std::string kSound = "[Product]\n"                                   // 1
                           "version = 2.1\n"                               // 2
                           "require_sha256 = false\n"                      // 3
                           "[Installer]\n"                                 // 4
                           "id = codecs\n"                                 // 5
                           "url = https://cdn.example/codecs.dmg\n"        // 6
                           "size = 1024\n"                                 // 7
                           "search_installed_mac_exe_name = Codecs.app\n"  // 8
                           "run_installed_id = codecs\n"                   // 9
                           "[Statistics]\n"                                // 10
                           "url = https://stats.example/collect\n"         // 11
                           "id = key\n";                                   // 12

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(ConfigCheckTest, NamesEachProblemWithItsLine)
{
    const std::string sha = std::string(64, 'a');
    const struct {
        const char* what;
        std::string text;
        std::vector<std::string> problems;
    } cases[] = {
        {"sound", kSound, {}},
        {"syntax error stops the check", Replace(kSound, "[Statistics]", "[Statistics"),
         {"c.ini:10: unmatched '['"}},
        {"section typo", Replace(kSound, "[Installer]", "[Instaler]"),
         {"c.ini:4: unknown section [Instaler] (did you mean [Installer]?)",
          "c.ini:1: no [Installer] section: nothing would be installed"}},
        {"key typo, and one nothing is near",
         Replace(Replace(kSound, "size = 1024", "sise = 1024"), "version = 2.1",
                 "version = 2.1\ncolour = red"),
         {"c.ini:3: unknown key \"colour\" in [Product]",
          "c.ini:8: unknown key \"sise\" in [Installer] (did you mean size?)"}},
        {"missing url and version",
         Replace(Replace(kSound, "url = https://cdn.example/codecs.dmg\n", ""), "version = 2.1\n", ""),
         {"c.ini:1: [Product] has no version", "c.ini:3: [Installer] has no url"}},
        {"malformed integrity keys and order",
         Replace(kSound, "size = 1024", "size = 1 KB\nsha256 = 1234\ninstall_order = first"),
         {"c.ini:8: sha256 must be 64 hexadecimal digits, not \"1234\"",
          "c.ini:7: size must be a number of bytes, not \"1 KB\"",
          "c.ini:9: install_order must be a number, not \"first\""}},
        {"duplicate id and a file URL",
         kSound + "[Installer]\nid = codecs\nurl = file:///etc/passwd\nsha256 = " + sha + "\n",
         {"c.ini:15: url is not an http or https URL: file:///etc/passwd",
          "c.ini:14: installer id \"codecs\" is already used on line 5"}},
        {"require_sha256 unmet", Replace(kSound, "require_sha256 = false", "require_sha256 = true"),
         {"c.ini:4: [Installer] has no sha256, which require_sha256 asks for"}},
        {"statistics without a key", Replace(kSound, "id = key\n", ""),
         {"c.ini:10: [Statistics] has no id"}},
        {"connections and mirrors",
         Replace(Replace(kSound, "require_sha256 = false", "connections = 17"), "size = 1024",
                 "mirrors = https://m1.example/c.dmg ftp://m2.example/c.dmg"),
         {"c.ini:3: connections must be a number from 1 to 16, not \"17\"",
          "c.ini:7: mirror is not an http or https URL: ftp://m2.example/c.dmg"}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        EXPECT_EQ(CheckConfiguration(test.text, "c.ini"), test.problems);
    }
}

} // namespace
} // namespace Zentak
