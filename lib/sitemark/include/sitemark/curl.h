#pragma once

#include <memory>

#include <curl/curl.h>

#include "sitemark/sitemark_export.h"

// A small owning wrapper around libcurl's easy interface. Every failure is a
// std::runtime_error whose text names the failing libcurl call and carries
// libcurl's own error text. Objects are used by one thread at a time.

namespace Zentak::Curl {

// libcurl's process-wide set-up for the lifetime of the object. Construct it
// on the main thread before any other thread uses libcurl; libSitemark makes
// none of its own.
class SITEMARK_EXPORT CurlGlobalStateGuard {
public:
    // Throws "cURL global init failed: " + libcurl's error text.
    CurlGlobalStateGuard();
    ~CurlGlobalStateGuard();

    CurlGlobalStateGuard(const CurlGlobalStateGuard&) = delete;
    CurlGlobalStateGuard& operator=(const CurlGlobalStateGuard&) = delete;
};

// Owns a libcurl list of header lines.
class SITEMARK_EXPORT Header {
public:
    Header() noexcept;
    // Throws std::runtime_error when the line cannot be stored.
    explicit Header(const char* line);
    ~Header();

    Header(Header&& other) noexcept;
    Header& operator=(Header&& other) noexcept;
    Header(const Header&) = delete;
    Header& operator=(const Header&) = delete;

    // Appends one line ("Name: value"). Throws std::runtime_error when the
    // line cannot be stored; the list keeps its earlier lines.
    void add(const char* line);
    // The list as libcurl takes it; owned by this object, null when empty.
    curl_slist* get() const noexcept;

private:
    curl_slist* m_list;
};

// Owns one easy handle and the header list set on it. A moved-from object
// may only be destroyed or assigned to.
class SITEMARK_EXPORT CurlEasy {
public:
    // Throws "Failed creating CURL easy object".
    CurlEasy();
    ~CurlEasy();

    CurlEasy(CurlEasy&& other) noexcept;
    CurlEasy& operator=(CurlEasy&& other) noexcept;
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;

    // Set an option and return the object for chaining. Throw
    // "cURL set option failed: " + libcurl's error text. Pointers must stay
    // valid until the transfer has been performed, as libcurl requires.
    CurlEasy& set(CURLoption option, const void* value);
    CurlEasy& set(CURLoption option, long value);
    // Takes the list over and sets it as the request's headers.
    CurlEasy& set(Header&& header);

    // Runs the transfer; returns its total time in seconds. Throws
    // "cURL perform failed: " + error text, or "cURL getinfo failed: " +
    // error text when the time cannot be read.
    double perform();

    // The handle, owned by this object; for queries after perform.
    CURL* handle() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace Zentak::Curl
