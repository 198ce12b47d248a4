#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>

namespace tessarine {

// Asks the running agent one question over its control socket and returns the
// answer. Blocking; every call has its own connection and its own bound.
class ControlClient {
public:
    static constexpr std::chrono::milliseconds defaultTimeout{5000};
    // The longest answer accepted (a long list of trusted tablets fits).
    static constexpr std::size_t maxReplyBytes = 4 * 1024 * 1024;

    explicit ControlClient(std::filesystem::path socketPath,
                           std::chrono::milliseconds timeout = defaultTimeout);

    // Sends the request as one line and returns the one-line JSON object that
    // answers it. Throws ControlError: notRunning when no agent listens,
    // timedOut when the whole exchange exceeds the bound, badReply when the
    // answer is not a JSON object.
    nlohmann::json request(const nlohmann::json& request) const;

private:
    std::filesystem::path socketPath_;
    std::chrono::milliseconds timeout_;
};

} // namespace tessarine
