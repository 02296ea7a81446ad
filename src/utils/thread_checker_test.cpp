#include "utils/thread_checker.h"

#include <thread>

#include <gtest/gtest.h>

namespace Zentak::Util {
namespace {

bool CheckedOn(const ThreadChecker& checker)
{
    bool result = false;
    std::thread([&] { result = checker.CalledOnOwnerThread(); }).join();
    return result;
}

TEST(ThreadChecker, HoldsToTheOwnerThreadAndRebindsOnlyAfterDetach)
{
#ifdef NDEBUG
    GTEST_SKIP() << "release builds check nothing";
#else
    ThreadChecker checker;
    EXPECT_TRUE(checker.CalledOnOwnerThread());
    EXPECT_FALSE(CheckedOn(checker));

    checker.Detach();
    EXPECT_TRUE(CheckedOn(checker)) << "a detached checker binds to the next thread";
    EXPECT_FALSE(checker.CalledOnOwnerThread()) << "and then refuses its maker";
#endif
}

} // namespace
} // namespace Zentak::Util
