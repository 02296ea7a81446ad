#pragma once

#include <cstddef>
#include <string>

namespace Zentak::Test {

// `size` bytes that look random and are the same on every run: a linear
// congruential sequence from `seed`, so that different seeds give different
// bodies.
std::string Pattern(std::size_t size, unsigned seed = 1);

} // namespace Zentak::Test
