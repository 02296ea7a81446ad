#pragma once

#include <string>

#include <curl/curl.h>

namespace Zentak::Curl {

// Internal to the curl sessions: turns a transfer's result code into the
// exception the rest of the program expects.
// Every exception is a TransferFailure (RequestTimeout is one) whose Cause()
// names the URL, the host or the status in plain words.
//   CURLE_OK                   returns;
//   CURLE_HTTP_RETURNED_ERROR  std::runtime_error
//                              "<operation> failed: http response code = <status>";
//   CURLE_OPERATION_TIMEDOUT   RequestTimeout "<operation> failed: Timeout was reached";
//   anything else              std::runtime_error "<operation> failed: <libcurl's text>".
void CheckResult(const char* operation, CURL* handle, CURLcode code);

// The plain-words cause of a failed transfer on `handle`: "HTTP <status> for
// <url>", "cannot connect to <host>:<port> (<system's reason>)", "cannot
// find the server <host>", "no answer from <url> in time", or libcurl's own
// text followed by "for <url>".
std::string PlainCause(CURL* handle, CURLcode code);

// "<call> failed: <text>", the one wording of every libcurl failure.
std::string FailureText(const char* call, const char* text);

} // namespace Zentak::Curl
