#include "support/test_bytes.h"

namespace Zentak::Test {

std::string Pattern(std::size_t size, unsigned seed)
{
    std::string data(size, '\0');
    unsigned value = seed;
    for (char& c : data) {
        value = value * 1103515245u + 12345u;
        c = static_cast<char>(value >> 16);
    }
    return data;
}

} // namespace Zentak::Test
