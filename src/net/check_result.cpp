#include "net/check_result.h"

#include <cctype>
#include <cstring>
#include <string>

#include "net/curl_easy.h"

namespace Zentak::Curl {
namespace {

std::string Info(CURL* handle, CURLINFO info)
{
    char* text = nullptr;
    if (curl_easy_getinfo(handle, info, &text) != CURLE_OK || !text) {
        return {};
    }
    return text;
}

long LongInfo(CURL* handle, CURLINFO info)
{
    long value = 0;
    if (curl_easy_getinfo(handle, info, &value) != CURLE_OK) {
        return 0;
    }
    return value;
}

// "host:port" of the URL, the port the scheme's own when the URL has none.
std::string HostAndPort(const std::string& url)
{
    CURLU* parsed = curl_url();
    if (!parsed) {
        return url;
    }
    std::string result = url;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        result = std::string(host) + ":" + port;
    }
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(parsed);
    return result;
}

std::string Lowercase(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

std::string FailureText(const char* call, const char* text)
{
    return std::string(call) + " failed: " + text;
}

std::string PlainCause(CURL* handle, CURLcode code)
{
    const std::string url = Info(handle, CURLINFO_EFFECTIVE_URL);
    switch (code) {
    case CURLE_HTTP_RETURNED_ERROR:
        return "HTTP " + std::to_string(LongInfo(handle, CURLINFO_RESPONSE_CODE)) + " for " + url;
    case CURLE_COULDNT_CONNECT: {
        const long error = LongInfo(handle, CURLINFO_OS_ERRNO);
        return "cannot connect to " + HostAndPort(url) +
               (error != 0 ? " (" + Lowercase(std::strerror(static_cast<int>(error))) + ")" : "");
    }
    case CURLE_COULDNT_RESOLVE_HOST: {
        const std::string where = HostAndPort(url);
        return "cannot find the server " + where.substr(0, where.rfind(':'));
    }
    case CURLE_OPERATION_TIMEDOUT:
        return "no answer from " + url + " in time";
    default:
        return Lowercase(curl_easy_strerror(code)) + " for " + url;
    }
}

void CheckResult(const char* operation, CURL* handle, CURLcode code)
{
    switch (code) {
    case CURLE_OK:
        return;
    case CURLE_HTTP_RETURNED_ERROR: {
        long status = 0;
        if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
            status = 0;
        }
        throw TransferFailure(
            FailureText(operation, ("http response code = " + std::to_string(status)).c_str()),
            PlainCause(handle, code));
    }
    case CURLE_OPERATION_TIMEDOUT:
        throw RequestTimeout(FailureText(operation, curl_easy_strerror(code)),
                             PlainCause(handle, code));
    default:
        throw TransferFailure(FailureText(operation, curl_easy_strerror(code)),
                              PlainCause(handle, code));
    }
}

} // namespace Zentak::Curl
