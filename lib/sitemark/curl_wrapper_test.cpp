#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include <gtest/gtest.h>

#include "sitemark/curl.h"

namespace Zentak::Curl {
namespace {

static_assert(!std::is_copy_constructible_v<CurlEasy> && !std::is_copy_assignable_v<CurlEasy>);
static_assert(std::is_nothrow_move_constructible_v<CurlEasy>);
static_assert(!std::is_copy_constructible_v<Header> && std::is_nothrow_move_assignable_v<Header>);

std::string ThrownText(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(nothing thrown)";
}

TEST(CurlWrapperTest, HeaderListMovesWithItsOwner)
{
    Header header("Accept: application/json");
    header.add("X-One: 1");
    ASSERT_NE(header.get(), nullptr);
    EXPECT_STREQ(header.get()->data, "Accept: application/json");
    ASSERT_NE(header.get()->next, nullptr);
    EXPECT_STREQ(header.get()->next->data, "X-One: 1");

    curl_slist* const list = header.get();
    Header moved(std::move(header));
    EXPECT_EQ(moved.get(), list);
    EXPECT_EQ(header.get(), nullptr); // NOLINT(bugprone-use-after-move): the moved-from state is the point

    Header assigned;
    EXPECT_EQ(assigned.get(), nullptr);
    assigned = std::move(moved);
    EXPECT_EQ(assigned.get(), list);
}

TEST(CurlWrapperTest, FailuresNameTheCallAndCarryLibcurlsText)
{
    CurlGlobalStateGuard global;
    CurlEasy easy;
    EXPECT_EQ(ThrownText([&] { easy.set(static_cast<CURLoption>(CURLOPTTYPE_LONG + 9999), 1L); }),
              std::string("cURL set option failed: ") + curl_easy_strerror(CURLE_UNKNOWN_OPTION));

    // An unknown scheme fails inside perform without touching any network.
    easy.set(CURLOPT_URL, "nosuchscheme://host/path").set(Header("Accept: application/json"));
    EXPECT_EQ(ThrownText([&] { easy.perform(); }),
              std::string("cURL perform failed: ") + curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL));
}

TEST(CurlWrapperTest, MoveHandsTheHandleOver)
{
    CurlEasy first;
    CURL* const handle = first.handle();
    ASSERT_NE(handle, nullptr);
    first.set(CURLOPT_URL, "nosuchscheme://moved");
    CurlEasy second(std::move(first));
    EXPECT_EQ(second.handle(), handle);
    EXPECT_EQ(first.handle(), nullptr); // NOLINT(bugprone-use-after-move)

    CurlEasy third;
    third = std::move(second);
    EXPECT_EQ(third.handle(), handle);
}

} // namespace
} // namespace Zentak::Curl
