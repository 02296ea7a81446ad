// The web user id library's handling of a service reply: the body as libcurl
// hands it over in pieces, then the reading of the whole body for each kind
// of request. A reply is whatever a server (or anything posing as one) sent.
//
// The reading lives in a function private to the library's source file; the
// file is compiled into this target so that the fuzzer drives that very code
// without the library exporting more than it does.
#include "sitemark_service.cpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"

namespace {

using Zentak::App::CurlContent;
using Zentak::App::kMaxSitemarkReplyBytes;

CurlContent Fresh(int kind)
{
    CurlContent content;
    content.kind = kind;
    if (kind == CurlContent::NewId) {
        content.value = std::string();
    } else {
        content.value = false;
    }
    return content;
}

bool HoldsTheKindsType(const CurlContent& content)
{
    return content.kind == CurlContent::NewId ? std::holds_alternative<std::string>(content.value)
                                              : std::holds_alternative<bool>(content.value);
}

} // namespace

// Input: a kind byte (three kinds and one the library does not know), a
// piece-size byte, a padding byte, then the body. A padding byte of 0xF0 and
// above puts white space before the body so that it ends within 8 bytes of
// the size limit, on either side of it; other values leave the body alone,
// so that most runs stay small and fast.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3) {
        return 0;
    }
    const int kind = data[0] % 4;
    const size_t piece = 1 + static_cast<size_t>(data[1]) * 64;
    std::string body(reinterpret_cast<const char*>(data + 3), size - 3);
    if (data[2] >= 0xF0) {
        const size_t target = kMaxSitemarkReplyBytes - 8 + (data[2] & 0x0F);
        if (body.size() < target) {
            body.insert(0, target - body.size(), ' ');
        }
    }

    CurlContent content = Fresh(kind);
    bool aborted = false;
    for (size_t offset = 0; offset < body.size(); offset += piece) {
        const size_t length = std::min(piece, body.size() - offset);
        const size_t before = content.body.size();
        const size_t taken = Zentak::App::curlContentParser(body.data() + offset, 1, length, &content);
        if (taken == 0) {
            FUZZ_CHECK(before + length > kMaxSitemarkReplyBytes, "a piece within the limit refused");
            FUZZ_CHECK(content.body.size() == before, "a refused piece was kept");
            aborted = true;
            break;
        }
        FUZZ_CHECK(taken == length, "a piece partly taken");
    }
    FUZZ_CHECK(content.body.size() <= kMaxSitemarkReplyBytes, "body past the limit");
    if (aborted) {
        // libcurl fails the transfer; nothing is read.
        return 0;
    }
    FUZZ_CHECK(content.body == body, "the body differs from what arrived");

    const CurlContent untouched = Fresh(kind);
    Zentak::App::ParseReply("http://127.0.0.1/fuzz", content);
    FUZZ_CHECK(content.value == untouched.value || HoldsTheKindsType(content),
               "a value of the wrong type stored");

    // The exported reader must agree with what the library does on a
    // collected body.
    CurlContent exported = Fresh(kind);
    const nlohmann::json reply = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false,
                                                       /*ignore_comments=*/false);
    if (reply.is_discarded()) {
        FUZZ_CHECK(content.value == untouched.value, "a value stored from a reply that is no JSON");
    } else {
        const bool stored = Zentak::App::jsonResponseParsed(reply, exported);
        FUZZ_CHECK(exported.value == content.value, "the exported reader stores another value");
        FUZZ_CHECK(stored || exported.value == untouched.value, "a value stored by a failed read");
    }
    return 0;
}
