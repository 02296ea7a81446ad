#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <unordered_map>

#include <curl/curl.h>

#include "net/curl_easy.h"

namespace Zentak::Curl {

// Drives several CurlEasy sessions at once on one thread. The sessions stay
// owned by the caller and must be removed (RemoveSession) before they are
// destroyed. Every operation is for the one thread that drives the transfers,
// except WakeUp, which any thread may call. Failures throw std::runtime_error
// (or RequestTimeout) with the text "<libcurl call> failed: <libcurl's text>".
//
// At most kMaxConnections transfers run at once (as browsers do per host)
// unless SetMaxConnections allows more; sessions added beyond that wait,
// unconnected, until one ends.
class CurlMulti {
public:
    static constexpr long kMaxConnections = 6;

    // A session that completed, and libcurl's result for it.
    struct Completion {
        std::reference_wrapper<CurlEasy> session;
        CURLcode result;
    };

    CurlMulti();
    ~CurlMulti();

    CurlMulti(const CurlMulti&) = delete;
    CurlMulti& operator=(const CurlMulti&) = delete;

    // The most transfers that run at once.
    void SetMaxConnections(long connections);

    void AddSession(CurlEasy& session);
    void RemoveSession(CurlEasy& session);

    // One round of curl_multi_perform: moves whatever data is ready and runs
    // the sessions' callbacks on this thread.
    void Perform();

    // Waits until a transfer needs attention, libcurl's own timeout expires
    // (when shorter than `duration`), `duration` passes, or WakeUp is called.
    void Poll(std::chrono::milliseconds duration);

    // Makes a pending or the next Poll return at once. Safe from any thread;
    // never throws (a failure is logged).
    void WakeUp() noexcept;

    // The sessions that completed since the last call, in completion order.
    // A failed transfer throws its failure text as "curl_multi_perform"; the
    // completions after it are left for the next call.
    std::list<std::reference_wrapper<CurlEasy>> GetCompletedSessions();

    // Every session that completed since the last call, failed or not, in
    // completion order; nothing throws for a failed transfer. The caller
    // turns a failed result into its exception with ThrowFailure.
    std::list<Completion> TakeCompletions();

    // Throws what GetCompletedSessions throws for a session that completed
    // with the failed `result`.
    static void ThrowFailure(const CurlEasy& session, CURLcode result);

private:
    std::unordered_map<CURL*, std::reference_wrapper<CurlEasy>> m_sessions;
    std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> m_handle;
};

} // namespace Zentak::Curl
