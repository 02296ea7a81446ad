#pragma once

#include <chrono>

// The arithmetic that turns a remaining time budget into libcurl's limits and
// takes a finished transfer's time off the budget. Kept apart so it can be
// checked without a network.

namespace Zentak::App::Detail {

struct TransferLimits {
    // Abort a transfer that moves less than 1 byte per second for this long.
    // Whole seconds; any part of a second counts as a whole one.
    long lowSpeedTimeSeconds = 0;
    // Bound for the connection set-up and for the whole transfer.
    long connectTimeoutMs = 0;
    long totalTimeoutMs = 0;
};

inline TransferLimits LimitsForBudget(std::chrono::milliseconds remaining)
{
    const long ms = remaining.count() > 0 ? static_cast<long>(remaining.count()) : 0;
    TransferLimits limits;
    limits.lowSpeedTimeSeconds = (ms + 999) / 1000;
    limits.connectTimeoutMs = ms;
    limits.totalTimeoutMs = ms;
    return limits;
}

// libcurl reports times in seconds as a double; the budget counts whole
// milliseconds, the fraction dropped.
inline std::chrono::milliseconds SecondsToMilliseconds(double seconds)
{
    if (!(seconds > 0.0)) {
        return std::chrono::milliseconds(0);
    }
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0));
}

// What is left after `spent`; anything under 1 ms counts as used up.
inline std::chrono::milliseconds BudgetAfter(std::chrono::milliseconds before,
                                             std::chrono::milliseconds spent)
{
    const std::chrono::milliseconds left = before - spent;
    return left < std::chrono::milliseconds(1) ? std::chrono::milliseconds(0) : left;
}

} // namespace Zentak::App::Detail
