#include "net/mdns_advertiser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

namespace tessarine {

// Avahi's C callbacks with their exact types, forwarding to the advertiser.
struct AvahiCallbacks {
    static void client(AvahiClient* client, AvahiClientState state, void* context) {
        static_cast<MDNSAdvertiser*>(context)->handleClientState(client, state);
    }
    static void group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
        static_cast<MDNSAdvertiser*>(context)->handleGroupState(group, state);
    }
    static void retry(AvahiTimeout* timeout, void* context) {
        static_cast<MDNSAdvertiser*>(context)->handleRetry(timeout);
    }
};

MDNSAdvertiser::MDNSAdvertiser(std::string serviceType, std::string instanceName,
                               std::uint16_t port)
    : serviceType_(std::move(serviceType)), port_(port), log_("app.tessarine.mac", "WiFiHost"),
      name_(std::move(instanceName)) {}

MDNSAdvertiser::~MDNSAdvertiser() {
    if (!poll_)
        return;
    avahi_threaded_poll_stop(poll_);
    if (retry_)
        avahi_threaded_poll_get(poll_)->timeout_free(retry_);
    if (client_)
        avahi_client_free(client_); // frees the entry group: the service is withdrawn
    avahi_threaded_poll_free(poll_);
}

void MDNSAdvertiser::start() {
    if (poll_)
        return;
    poll_ = avahi_threaded_poll_new();
    if (!poll_) {
        reportUnavailable("cannot create the Avahi poll");
        return;
    }
    connect();
    if (avahi_threaded_poll_start(poll_) < 0)
        reportUnavailable("cannot start the Avahi poll thread");
}

std::optional<std::string> MDNSAdvertiser::publishedName() const {
    std::lock_guard lock(publishedMutex_);
    return published_;
}

void MDNSAdvertiser::setPublished(std::optional<std::string> name) {
    {
        std::lock_guard lock(publishedMutex_);
        published_ = name;
    }
    if (name && onPublished)
        onPublished(*name);
}

void MDNSAdvertiser::reportUnavailable(const char* why) {
    if (reportedUnavailable_)
        return;
    reportedUnavailable_ = true;
    log_.info("mDNS advertisement unavailable (%{public}s); running unadvertised", why);
}

void MDNSAdvertiser::connect() {
    int error = 0;
    // NO_FAIL: with a bus but no daemon the client waits for the daemon.
    // Without a bus at all creation still fails, hence the retry timer.
    AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                           &AvahiCallbacks::client, this, &error);
    if (!client) {
        reportUnavailable(avahi_strerror(error));
        scheduleRetry();
        return;
    }
    client_ = client;
}

void MDNSAdvertiser::scheduleRetry() {
    timeval when{};
    avahi_elapse_time(&when, retryIntervalMs, 0);
    const AvahiPoll* api = avahi_threaded_poll_get(poll_);
    if (retry_)
        api->timeout_update(retry_, &when);
    else
        retry_ = api->timeout_new(api, &when, &AvahiCallbacks::retry, this);
}

void MDNSAdvertiser::handleRetry(AvahiTimeout* timeout) {
    avahi_threaded_poll_get(poll_)->timeout_update(timeout, nullptr); // disarm
    if (!client_)
        connect();
}

void MDNSAdvertiser::handleClientState(AvahiClient* client, int state) {
    switch (static_cast<AvahiClientState>(state)) {
    case AVAHI_CLIENT_S_RUNNING:
        publish(client);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host name is being (re)negotiated; publish again once running.
        if (group_)
            avahi_entry_group_reset(group_);
        setPublished(std::nullopt);
        break;
    case AVAHI_CLIENT_CONNECTING:
        reportUnavailable("no Avahi daemon");
        break;
    case AVAHI_CLIENT_FAILURE: {
        const int error = avahi_client_errno(client);
        setPublished(std::nullopt);
        avahi_client_free(client);
        client_ = nullptr;
        group_ = nullptr;
        if (error == AVAHI_ERR_DISCONNECTED) {
            connect(); // the daemon went away; wait for the next one
        } else {
            log_.error("mDNS advertisement failed: %{public}s", avahi_strerror(error));
            scheduleRetry();
        }
        break;
    }
    }
}

void MDNSAdvertiser::publish(AvahiClient* client) {
    if (!group_) {
        group_ = avahi_entry_group_new(client, &AvahiCallbacks::group, this);
        if (!group_) {
            log_.error("mDNS advertisement failed: %{public}s",
                       avahi_strerror(avahi_client_errno(client)));
            return;
        }
    }
    if (!avahi_entry_group_is_empty(group_))
        return;
    for (;;) {
        const int rc = avahi_entry_group_add_service(
            group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name_.c_str(),
            serviceType_.c_str(), nullptr, nullptr, port_, nullptr);
        if (rc == AVAHI_ERR_COLLISION) {
            rename();
            continue;
        }
        if (rc < 0 || (avahi_entry_group_commit(group_)) < 0) {
            log_.error("mDNS advertisement failed: %{public}s",
                       avahi_strerror(avahi_client_errno(client)));
            avahi_entry_group_reset(group_);
        }
        return;
    }
}

void MDNSAdvertiser::rename() {
    char* alternative = avahi_alternative_service_name(name_.c_str());
    name_ = alternative;
    avahi_free(alternative);
    log_.info("mDNS name collision; renaming service to %{public}s", name_);
}

void MDNSAdvertiser::handleGroupState(AvahiEntryGroup* group, int state) {
    switch (static_cast<AvahiEntryGroupState>(state)) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        log_.info("mDNS service published: %{public}s", name_);
        setPublished(name_);
        break;
    case AVAHI_ENTRY_GROUP_COLLISION:
        setPublished(std::nullopt);
        rename();
        avahi_entry_group_reset(group);
        publish(avahi_entry_group_get_client(group));
        break;
    case AVAHI_ENTRY_GROUP_FAILURE:
        setPublished(std::nullopt);
        log_.error("mDNS advertisement failed: %{public}s",
                   avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
}

} // namespace tessarine
