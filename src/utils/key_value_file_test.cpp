#include "utils/key_value_file.h"

#include <fstream>
#include <iterator>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace Zentak::Util {
namespace {

namespace fs = boost::filesystem;

TEST(KeyValueFileTest, UpdatesValuesInPlaceKeepsOtherLinesAndDropsStaleCopies)
{
    const fs::path folder = fs::temp_directory_path() / fs::unique_path("kv-test-%%%%-%%%%");
    fs::create_directories(folder);
    const fs::path path = folder / "product.cfg";
    const std::map<std::string, std::string> values{{"channel", "beta"}, {"id", "7"}};
    const struct {
        const char* name;
        const char* before; // nullptr: no file yet
        const char* after;
    } cases[] = {
        {"new file", nullptr, "channel=beta\nid=7\n"},
        {"same values again", "channel=beta\nid=7\n", "channel=beta\nid=7\n"},
        {"copies appended by earlier runs", "id=5\nchannel=alpha\nid=6\nchannel=beta\nid=7\n",
         "id=7\nchannel=beta\n"},
        {"the product's own lines", "# comment\ntheme=dark\n\nid=1\nidle=yes\n",
         "# comment\ntheme=dark\n\nid=7\nidle=yes\nchannel=beta\n"},
        {"no final line feed", "theme=dark", "theme=dark\nchannel=beta\nid=7\n"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        fs::remove(path);
        if (test.before) {
            std::ofstream(path.string(), std::ios::binary) << test.before;
        }
        EXPECT_TRUE(UpdateKeyValueFile(path, values));
        std::ifstream written(path.string(), std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), test.after);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1)
            << "a temporary file was left";
    }

    // A temporary file of a writer killed before its rename goes with the
    // next write.
    std::ofstream((folder / ".product.cfg.k1ll3d").string()) << "id=3\n";
    EXPECT_TRUE(UpdateKeyValueFile(path, values));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

    // An existing file keeps the permissions it was given.
    fs::permissions(path, fs::perms(0600));
    EXPECT_TRUE(UpdateKeyValueFile(path, values));
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0600));

    // A folder that is a file: nothing can be written, and that is said.
    EXPECT_FALSE(UpdateKeyValueFile(path / "inside.cfg", values));
    fs::remove_all(folder);
}

} // namespace
} // namespace Zentak::Util
