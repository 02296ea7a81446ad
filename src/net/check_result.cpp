#include "net/check_result.h"

#include <string>

#include "net/curl_easy.h"

namespace Zentak::Curl {

std::string FailureText(const char* call, const char* text)
{
    return std::string(call) + " failed: " + text;
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
        throw std::runtime_error(
            FailureText(operation, ("http response code = " + std::to_string(status)).c_str()));
    }
    case CURLE_OPERATION_TIMEDOUT:
        throw RequestTimeout(FailureText(operation, curl_easy_strerror(code)));
    default:
        throw std::runtime_error(FailureText(operation, curl_easy_strerror(code)));
    }
}

} // namespace Zentak::Curl
