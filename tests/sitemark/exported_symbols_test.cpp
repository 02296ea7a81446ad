#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>

// The dynamic symbol table of the built libSitemark must hold exactly the
// interface the library declares: a libcurl, Boost, JSON or static-library
// symbol there would clash with the program's own copies.

namespace {

std::set<std::string> DeclaredExports()
{
    std::set<std::string> names;
    std::ifstream file(SITEMARK_EXPORT_LIST);
    std::string line;
    for (int count = 0; count < 10000 && std::getline(file, line); ++count) {
        if (!line.empty() && line[0] != '#') {
            names.insert(line);
        }
    }
    return names;
}

// Names as "nm -D --defined-only -C" prints them, without address and type.
std::set<std::string> ActualExports(std::string* error)
{
    std::set<std::string> names;
#ifdef __APPLE__
    // Mach-O has no separate dynamic table: the external defined symbols.
    const std::string command =
        std::string(SITEMARK_NM) + " -gU -C '" + SITEMARK_LIBRARY_FILE + "' 2>&1";
#else
    const std::string command =
        std::string(SITEMARK_NM) + " -D --defined-only -C '" + SITEMARK_LIBRARY_FILE + "' 2>&1";
#endif
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        *error = "cannot run " + command;
        return names;
    }
    std::string output;
    char buffer[4096];
    for (int reads = 0; reads < 100000; ++reads) {
        const std::size_t got = std::fread(buffer, 1, sizeof(buffer), pipe.get());
        if (got == 0) {
            break;
        }
        output.append(buffer, got);
    }
    const int status = pclose(pipe.release());
    if (status != 0) {
        *error = command + " failed: " + output;
        return names;
    }
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            end = output.size();
        }
        const std::string line = output.substr(start, end - start);
        start = end + 1;
        // "<address> <type> <name>"; the name may contain spaces.
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second != std::string::npos) {
            names.insert(line.substr(second + 1));
        } else if (!line.empty()) {
            names.insert(line);
        }
    }
    return names;
}

// A name without its parameter list and ABI tags, and without the
// underscore Mach-O puts before C names: what stays the same whichever
// standard library spelled the parameter types.
std::string Key(std::string name)
{
    for (const std::string tag : {"[abi:cxx11]"}) {
        for (std::size_t at; (at = name.find(tag)) != std::string::npos;) {
            name.erase(at, tag.size());
        }
    }
    name = name.substr(0, name.find('('));
#ifdef __APPLE__
    if (!name.empty() && name[0] == '_' && name.find("::") == std::string::npos) {
        name.erase(0, 1);
    }
#endif
    return name;
}

std::set<std::string> Keys(const std::set<std::string>& names)
{
    std::set<std::string> keys;
    for (const std::string& name : names) {
        keys.insert(Key(name));
    }
    return keys;
}

TEST(SitemarkExportsTest, ExportsTheDeclaredNames)
{
    std::string error;
    const std::set<std::string> actual = Keys(ActualExports(&error));
    ASSERT_TRUE(error.empty()) << error;
    const std::set<std::string> declared = Keys(DeclaredExports());
    ASSERT_GT(declared.size(), 10u);
    for (const std::string& name : actual) {
        EXPECT_TRUE(declared.count(name)) << "unexpected export: " << name;
    }
    for (const std::string& name : declared) {
        EXPECT_TRUE(actual.count(name)) << "declared but not exported: " << name;
    }
}

// The exact list is written for libstdc++'s spelling of the parameter types;
// with libc++ the names above are compared.
#ifndef __APPLE__
TEST(SitemarkExportsTest, ExportsExactlyTheDeclaredInterface)
{
    const std::set<std::string> declared = DeclaredExports();
    ASSERT_FALSE(declared.empty()) << "no export list at " << SITEMARK_EXPORT_LIST;
    std::string error;
    const std::set<std::string> actual = ActualExports(&error);
    ASSERT_TRUE(error.empty()) << error;

    for (const std::string& name : actual) {
        EXPECT_TRUE(declared.count(name)) << "unexpected export: " << name;
    }
    for (const std::string& name : declared) {
        EXPECT_TRUE(actual.count(name)) << "declared but not exported: " << name;
    }
}
#endif

} // namespace
