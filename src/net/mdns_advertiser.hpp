#pragma once

#include "diagnostics/logger.hpp"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

struct AvahiThreadedPoll;
struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiTimeout;

namespace tessarine {

// Publishes one DNS-SD service (type, instance name, port, no TXT record)
// through the Avahi daemon, on Avahi's own poll thread. Without a daemon it
// logs once and keeps trying, so the service appears when a daemon does; a
// name collision moves to Avahi's alternative name. Destruction withdraws the
// service.
class MDNSAdvertiser {
public:
    MDNSAdvertiser(std::string serviceType, std::string instanceName, std::uint16_t port);
    ~MDNSAdvertiser();

    MDNSAdvertiser(const MDNSAdvertiser&) = delete;
    MDNSAdvertiser& operator=(const MDNSAdvertiser&) = delete;

    // Set before start(). Called on Avahi's thread with the published name
    // each time the daemon confirms the service.
    std::function<void(const std::string& name)> onPublished;

    // Starts the poll thread and the first attempt. Failures never throw: an
    // unadvertised host still serves peers that know its address.
    void start();

    // The name the daemon confirmed, if the service is currently published.
    std::optional<std::string> publishedName() const;

    static constexpr int retryIntervalMs = 3000;

private:
    friend struct AvahiCallbacks;

    void handleClientState(AvahiClient* client, int state);
    void handleGroupState(AvahiEntryGroup* group, int state);
    void handleRetry(AvahiTimeout* timeout);

    // On Avahi's thread (or before it starts).
    void connect();
    void publish(AvahiClient* client);
    void rename();
    void scheduleRetry();
    void reportUnavailable(const char* why);
    void setPublished(std::optional<std::string> name);

    const std::string serviceType_;
    const std::uint16_t port_;
    Logger log_;
    std::string name_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    AvahiTimeout* retry_ = nullptr;
    bool reportedUnavailable_ = false;

    mutable std::mutex publishedMutex_;
    std::optional<std::string> published_;
};

} // namespace tessarine
