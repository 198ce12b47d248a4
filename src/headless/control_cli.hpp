#pragma once

#include "headless/control_client.hpp"
#include "protocol/uuid.hpp"

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tessarine {

// The `tessarine` subcommands that talk to a running agent:
// status, devices, allow ID, deny ID, disconnect, forget ID, forget-all.
bool isControlCommand(std::string_view name);

// Runs one subcommand (args[0] is its name) through the client and prints a
// human-readable answer on `out`, or the error on `err`. Returns the exit
// status: 0 when the agent did it, 1 when it failed or is not running, 2 for a
// malformed command line.
int runControlCommand(const std::vector<std::string>& args, const ControlClient& client,
                      std::ostream& out, std::ostream& err);

// The one line that tells the user how to answer a waiting tablet.
std::string trustPromptLine(const Uuid& id, std::string_view name);

} // namespace tessarine
