#pragma once

#include <chrono>
#include <functional>

namespace Zentak::Test {

// Calls `check` about every `step` until it returns true or `limit` has
// passed; returns the last result.
bool WaitFor(const std::function<bool()>& check, std::chrono::milliseconds limit,
             std::chrono::milliseconds step = std::chrono::milliseconds(200));

} // namespace Zentak::Test
