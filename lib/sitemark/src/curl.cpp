#include "sitemark/curl.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace Zentak::Curl {
namespace {

[[noreturn]] void ThrowCurlError(const char* what, CURLcode code)
{
    throw std::runtime_error(std::string(what) + curl_easy_strerror(code));
}

} // namespace

CurlGlobalStateGuard::CurlGlobalStateGuard()
{
    const CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
    if (code != CURLE_OK) {
        ThrowCurlError("cURL global init failed: ", code);
    }
}

CurlGlobalStateGuard::~CurlGlobalStateGuard()
{
    curl_global_cleanup();
}

Header::Header() noexcept : m_list(nullptr) {}

Header::Header(const char* line) : m_list(nullptr)
{
    add(line);
}

Header::~Header()
{
    curl_slist_free_all(m_list);
}

Header::Header(Header&& other) noexcept : m_list(std::exchange(other.m_list, nullptr)) {}

Header& Header::operator=(Header&& other) noexcept
{
    if (this != &other) {
        curl_slist_free_all(m_list);
        m_list = std::exchange(other.m_list, nullptr);
    }
    return *this;
}

void Header::add(const char* line)
{
    if (line == nullptr) {
        throw std::runtime_error("cURL header append failed: no header line");
    }
    // On failure curl_slist_append returns null and leaves the old list alone,
    // so the list must not be overwritten before the check.
    curl_slist* appended = curl_slist_append(m_list, line);
    if (appended == nullptr) {
        throw std::runtime_error(std::string("cURL header append failed: ") + line);
    }
    m_list = appended;
}

curl_slist* Header::get() const noexcept
{
    return m_list;
}

struct CurlEasy::Impl {
    struct HandleDeleter {
        void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    };

    // The handle points at the header list until it is cleaned up, so the
    // list is declared first and outlives it.
    Header header;
    std::unique_ptr<CURL, HandleDeleter> handle;
};

CurlEasy::CurlEasy() : m_impl(std::make_unique<Impl>())
{
    m_impl->handle.reset(curl_easy_init());
    if (!m_impl->handle) {
        throw std::runtime_error("Failed creating CURL easy object");
    }
}

CurlEasy::~CurlEasy() = default;
CurlEasy::CurlEasy(CurlEasy&& other) noexcept = default;
CurlEasy& CurlEasy::operator=(CurlEasy&& other) noexcept = default;

CurlEasy& CurlEasy::set(CURLoption option, const void* value)
{
    const CURLcode code = curl_easy_setopt(m_impl->handle.get(), option, value);
    if (code != CURLE_OK) {
        ThrowCurlError("cURL set option failed: ", code);
    }
    return *this;
}

CurlEasy& CurlEasy::set(CURLoption option, long value)
{
    const CURLcode code = curl_easy_setopt(m_impl->handle.get(), option, value);
    if (code != CURLE_OK) {
        ThrowCurlError("cURL set option failed: ", code);
    }
    return *this;
}

CurlEasy& CurlEasy::set(Header&& header)
{
    // Set the new list before releasing the old one, so the handle never
    // points at freed memory, even when setting fails.
    Header taken(std::move(header));
    set(CURLOPT_HTTPHEADER, static_cast<const void*>(taken.get()));
    m_impl->header = std::move(taken);
    return *this;
}

double CurlEasy::perform()
{
    CURL* handle = m_impl->handle.get();
    CURLcode code = curl_easy_perform(handle);
    if (code != CURLE_OK) {
        ThrowCurlError("cURL perform failed: ", code);
    }
    double totalTime = 0.0;
    code = curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME, &totalTime);
    if (code != CURLE_OK) {
        ThrowCurlError("cURL getinfo failed: ", code);
    }
    return totalTime;
}

CURL* CurlEasy::handle() const noexcept
{
    return m_impl ? m_impl->handle.get() : nullptr;
}

} // namespace Zentak::Curl
