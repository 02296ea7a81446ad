#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Zentak {

using EventParameters = std::vector<std::pair<std::string, std::string>>;

// Turns named events into XML fragments and sends them in packages to the
// statistics endpoint from a sender thread of its own. Shared by its users;
// every operation is safe from any thread. Whoever drops the last reference
// waits for the sender's last attempt: with an endpoint that does not answer,
// up to twice the 2-second request limit (an attempt in flight, then the last).
class IStatisticsTracker {
public:
    virtual ~IStatisticsTracker() = default;
    // Starts sending to `url` with the key `id`; events tracked before are
    // sent first.
    virtual void Initialize(const std::string& url, const std::string& id) = 0;
    virtual void TrackEvent(std::string name, const EventParameters& params) = 0;

    void TrackEvent(std::string name) { TrackEvent(std::move(name), EventParameters{}); }

    static std::shared_ptr<IStatisticsTracker> Create();
};

} // namespace Zentak
