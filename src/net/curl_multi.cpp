#include "net/curl_multi.h"

#include <stdexcept>

#include <glog/logging.h>

#include "net/check_result.h"

namespace Zentak::Curl {
namespace {

void CheckMulti(const char* call, CURLMcode code)
{
    if (code != CURLM_OK) {
        throw std::runtime_error(FailureText(call, curl_multi_strerror(code)));
    }
}

} // namespace

CurlMulti::CurlMulti() : m_handle(curl_multi_init(), &curl_multi_cleanup)
{
    if (!m_handle) {
        throw std::runtime_error("curl_multi_init failed");
    }
    // Every session at once would take a connection (and a descriptor) per
    // file: a batch of a hundred packages then fails against the usual open
    // files limit or a server with a short listen queue. Sessions beyond the
    // limit wait in libcurl's queue, unconnected, until one ends.
    CheckMulti("curl_multi_setopt",
               curl_multi_setopt(m_handle.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxConnections));
}

CurlMulti::~CurlMulti()
{
    m_handle.reset();
}

void CurlMulti::SetMaxConnections(long connections)
{
    CheckMulti("curl_multi_setopt",
               curl_multi_setopt(m_handle.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, connections));
}

void CurlMulti::AddSession(CurlEasy& session)
{
    CheckMulti("curl_multi_add_handle", curl_multi_add_handle(m_handle.get(), session.Handle()));
    m_sessions.emplace(session.Handle(), session);
}

void CurlMulti::RemoveSession(CurlEasy& session)
{
    CheckMulti("curl_multi_remove_handle",
               curl_multi_remove_handle(m_handle.get(), session.Handle()));
    m_sessions.erase(session.Handle());
}

void CurlMulti::Perform()
{
    int running = 0;
    CheckMulti("curl_multi_perform", curl_multi_perform(m_handle.get(), &running));
}

void CurlMulti::Poll(std::chrono::milliseconds duration)
{
    long timeout = -1;
    CheckMulti("curl_multi_timeout", curl_multi_timeout(m_handle.get(), &timeout));
    const long limit = static_cast<long>(duration.count());
    const long wait = timeout > 0 && timeout < limit ? timeout : limit;
    CheckMulti("curl_multi_poll",
               curl_multi_poll(m_handle.get(), nullptr, 0, static_cast<int>(wait), nullptr));
}

void CurlMulti::WakeUp() noexcept
{
    const CURLMcode code = curl_multi_wakeup(m_handle.get());
    if (code != CURLM_OK) {
        LOG(WARNING) << FailureText("curl_multi_wakeup", curl_multi_strerror(code));
    }
}

std::list<std::reference_wrapper<CurlEasy>> CurlMulti::GetCompletedSessions()
{
    std::list<std::reference_wrapper<CurlEasy>> completed;
    int pending = 0;
    while (CURLMsg* message = curl_multi_info_read(m_handle.get(), &pending)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        CurlEasy& session = m_sessions.at(message->easy_handle);
        ThrowFailure(session, message->data.result);
        completed.push_back(session);
    }
    return completed;
}

std::list<CurlMulti::Completion> CurlMulti::TakeCompletions()
{
    std::list<Completion> completed;
    int pending = 0;
    while (CURLMsg* message = curl_multi_info_read(m_handle.get(), &pending)) {
        const auto session = m_sessions.find(message->easy_handle);
        if (message->msg == CURLMSG_DONE && session != m_sessions.end()) {
            completed.push_back({session->second, message->data.result});
        }
    }
    return completed;
}

void CurlMulti::ThrowFailure(const CurlEasy& session, CURLcode result)
{
    session.CheckProxyAuthentication("curl_multi_perform", result);
    CheckResult("curl_multi_perform", session.Handle(), result);
}

} // namespace Zentak::Curl
