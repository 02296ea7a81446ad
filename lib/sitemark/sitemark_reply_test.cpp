#include <string>
#include <variant>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sitemark/sitemark.h"

namespace Zentak::App {
namespace {

using Value = std::variant<std::string, bool>;

CurlContent ContentOf(int kind)
{
    CurlContent content;
    content.kind = kind;
    content.value = kind == CurlContent::NewId ? Value(std::string()) : Value(false);
    return content;
}

TEST(SitemarkReplyTest, StoresOnlyTheFieldOfTheContentKindWithItsType)
{
    struct Case {
        int kind;
        const char* reply;
        bool parsed;
        Value value; // after the call
    };
    const Case cases[] = {
        {CurlContent::Existence, R"({"exist": true})", true, true},
        {CurlContent::Existence, R"({"exist": false, "id": "x"})", true, false},
        {CurlContent::Existence, R"({"exist": "true"})", false, false}, // a string is not a boolean
        {CurlContent::Existence, R"({"exist": 1})", false, false},
        {CurlContent::Existence, R"({"id": "abc"})", false, false},
        {CurlContent::Existence, R"([{"exist": true}])", false, false}, // not an object
        {CurlContent::Existence, R"(true)", false, false},
        {CurlContent::NewId, R"({"id": "0f4e-17_ab"})", true, std::string("0f4e-17_ab")},
        {CurlContent::NewId, R"({"id": ""})", true, std::string()},
        {CurlContent::NewId, R"({"code": "E42", "message": "busy"})", false, std::string()},
        {CurlContent::NewId, R"({"id": 17})", false, std::string()}, // type error, reported
        {CurlContent::LinkResult, R"({"success": true})", true, true},
        {CurlContent::LinkResult, R"({"success": false})", true, false},
        {CurlContent::LinkResult, R"({"success": "yes"})", false, false},
        {CurlContent::LinkResult, R"({"exist": true})", false, false},
        {7, R"({"exist": true, "id": "a", "success": true})", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind << ": " << c.reply);
        CurlContent content = ContentOf(c.kind);
        EXPECT_EQ(jsonResponseParsed(nlohmann::json::parse(c.reply), content), c.parsed);
        EXPECT_EQ(content.value, c.value);
    }
}

TEST(SitemarkReplyTest, WriteCallbackGathersPiecesUpToTheLimit)
{
    CurlContent content = ContentOf(CurlContent::NewId);
    std::string first = R"({"id": )";
    std::string second = R"("abc"})";
    EXPECT_EQ(curlContentParser(first.data(), 1, first.size(), &content), first.size());
    EXPECT_EQ(curlContentParser(second.data(), 1, second.size(), &content), second.size());
    EXPECT_EQ(content.body, first + second);
    // The callback only gathers: the value waits for the end of the transfer.
    EXPECT_EQ(content.value, Value(std::string()));

    std::string nothing;
    EXPECT_EQ(curlContentParser(nothing.data(), 1, 0, &content), 0u);
    EXPECT_EQ(content.body, first + second);

    std::string rest(kMaxSitemarkReplyBytes - content.body.size(), ' ');
    EXPECT_EQ(curlContentParser(rest.data(), 1, rest.size(), &content), rest.size());
    EXPECT_EQ(content.body.size(), kMaxSitemarkReplyBytes);
    // One byte over the limit makes the callback refuse, which fails the
    // transfer, and the gathered body stays as it was.
    std::string extra = "x";
    EXPECT_EQ(curlContentParser(extra.data(), 1, 1, &content), 0u);
    EXPECT_EQ(content.body.size(), kMaxSitemarkReplyBytes);

    EXPECT_EQ(curlContentParser(extra.data(), 1, 1, nullptr), 0u);
}

} // namespace
} // namespace Zentak::App
