#include "support/wait_for.h"

#include <thread>

namespace Zentak::Test {

bool WaitFor(const std::function<bool()>& check, std::chrono::milliseconds limit,
             std::chrono::milliseconds step)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (check()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
}

} // namespace Zentak::Test
