#include "headless/control_cli.hpp"

#include "headless/control_socket.hpp"
#include "headless/terminal_text.hpp"

#include <array>

namespace tessarine {
namespace {

using json = nlohmann::json;

struct CommandSpec {
    std::string_view name;
    bool takesId;
};

constexpr std::array<CommandSpec, 7> kCommands{{{"status", false},
                                                {"devices", false},
                                                {"allow", true},
                                                {"deny", true},
                                                {"disconnect", false},
                                                {"forget", true},
                                                {"forget-all", false}}};

const CommandSpec* findCommand(std::string_view name) {
    for (const auto& command : kCommands)
        if (command.name == name)
            return &command;
    return nullptr;
}

std::string text(const json& reply, const char* key) {
    auto it = reply.find(key);
    return it != reply.end() && it->is_string() ? it->get<std::string>() : std::string();
}

long number(const json& reply, const char* key) {
    auto it = reply.find(key);
    return it != reply.end() && it->is_number_integer() ? it->get<long>() : 0;
}

// "Name" (ID), safe to print.
std::string tablet(const json& reply) {
    return "\"" + terminalSafe(text(reply, "name")) + "\" (" + terminalSafe(text(reply, "id")) +
           ")";
}

void printStatus(const json& reply, std::ostream& out) {
    const std::string state = text(reply, "state");
    const std::string peer = "\"" + terminalSafe(text(reply, "peerName")) + "\"";
    if (state == "listening") {
        out << "Listening";
        if (long port = number(reply, "port"))
            out << " on port " << port;
        out << " — select this computer on your tablet\n";
    } else if (state == "handshaking") {
        out << "A tablet is connecting…\n";
    } else if (state == "awaitingAccept") {
        auto pending = reply.find("pending");
        auto id = pending != reply.end() && pending->is_object() ? Uuid::parse(text(*pending, "id"))
                                                                 : std::nullopt;
        if (id)
            out << trustPromptLine(*id, text(*pending, "name")) << "\n";
        else
            out << "Closing the connection to " << peer << "\n";
    } else if (state == "live") {
        out << "Connected — " << peer << "\n";
    } else if (state == "failed") {
        out << "Error — " << terminalSafe(text(reply, "failure")) << "\n";
    } else if (state == "idle") {
        out << "Idle\n";
    } else {
        out << terminalSafe(text(reply, "description")) << "\n";
    }
    out << "Trusted tablets: " << number(reply, "trustedCount") << "\n";
}

void printDevices(const json& reply, std::ostream& out) {
    auto devices = reply.find("devices");
    if (devices == reply.end() || !devices->is_array() || devices->empty()) {
        out << "No trusted tablets.\n";
        return;
    }
    for (const auto& device : *devices)
        if (device.is_object())
            out << terminalSafe(text(device, "id")) << "  " << terminalSafe(text(device, "name"))
                << "\n";
}

void printAnswer(std::string_view command, const json& reply, std::ostream& out) {
    if (command == "status")
        printStatus(reply, out);
    else if (command == "devices")
        printDevices(reply, out);
    else if (command == "allow")
        out << "Allowed " << tablet(reply) << ".\n";
    else if (command == "deny")
        out << "Denied " << tablet(reply) << ".\n";
    else if (command == "disconnect")
        out << "Disconnected.\n";
    else if (command == "forget")
        out << "Forgot " << tablet(reply) << ".\n";
    else if (command == "forget-all")
        out << "Forgot " << number(reply, "forgotten") << " trusted tablet(s).\n";
}

} // namespace

bool isControlCommand(std::string_view name) {
    return findCommand(name) != nullptr;
}

int runControlCommand(const std::vector<std::string>& args, const ControlClient& client,
                      std::ostream& out, std::ostream& err) {
    const CommandSpec* command = args.empty() ? nullptr : findCommand(args[0]);
    if (!command) {
        err << "tessarine: unknown command" << (args.empty() ? "" : ": " + args[0]) << "\n";
        return 2;
    }
    const std::size_t expected = command->takesId ? 2 : 1;
    if (args.size() != expected) {
        err << "tessarine: " << command->name
            << (command->takesId ? " needs one tablet id" : " takes no arguments") << "\n";
        return 2;
    }

    json request = {{"command", std::string(command->name)}};
    if (command->takesId)
        request["id"] = args[1];
    json reply;
    try {
        reply = client.request(request);
    } catch (const ControlError& e) {
        err << "tessarine: " << e.what() << "\n";
        return 1;
    }
    if (!reply["ok"].get<bool>()) {
        err << "tessarine: " << terminalSafe(text(reply, "error")) << "\n";
        return 1;
    }
    printAnswer(command->name, reply, out);
    return 0;
}

std::string trustPromptLine(const Uuid& id, std::string_view name) {
    const std::string text = id.toString();
    return "Tablet \"" + terminalSafe(name) + "\" (" + text +
           ") wants to connect — allow with: tessarine allow " + text +
           "   deny with: tessarine deny " + text;
}

} // namespace tessarine
