#include "transfer_limits.h"

#include <chrono>

#include <gtest/gtest.h>

namespace Zentak::App::Detail {
namespace {

using std::chrono::milliseconds;

TEST(TransferLimitsTest, BudgetBoundsConnectionTransferAndSlowSpeed)
{
    struct Case {
        long long budgetMs;
        long lowSpeedSeconds;
        long timeoutMs;
    };
    const Case cases[] = {
        {1500, 2, 1500}, // a part of a second counts as a whole second
        {5000, 5, 5000},
        {1, 1, 1},
        {999, 1, 999},
        {1000, 1, 1000},
        {1001, 2, 1001},
        {0, 0, 0},
        {-20, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.budgetMs);
        const TransferLimits limits = LimitsForBudget(milliseconds(c.budgetMs));
        EXPECT_EQ(limits.lowSpeedTimeSeconds, c.lowSpeedSeconds);
        EXPECT_EQ(limits.connectTimeoutMs, c.timeoutMs);
        EXPECT_EQ(limits.totalTimeoutMs, c.timeoutMs);
    }
}

TEST(TransferLimitsTest, TransferTimeIsTakenOffTheBudget)
{
    struct Case {
        long long budgetMs;
        double seconds;
        long long leftMs;
    };
    const Case cases[] = {
        {1500, 0.4, 1100},
        {5000, 0.0, 5000},
        {5000, 0.0009, 5000}, // under a millisecond costs nothing
        {5000, 1.2345, 3766}, // truncated, not rounded
        {1500, 1.4995, 1},
        {1500, 1.5, 0},
        {1500, 1.5004, 0},  // under 1 ms left counts as used up
        {1500, 30.0, 0},    // never below 0
        {1500, -1.0, 1500}, // a bogus negative time costs nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.budgetMs << " ms - " << c.seconds << " s");
        EXPECT_EQ(BudgetAfter(milliseconds(c.budgetMs), SecondsToMilliseconds(c.seconds)).count(),
                  c.leftMs);
    }
}

} // namespace
} // namespace Zentak::App::Detail
