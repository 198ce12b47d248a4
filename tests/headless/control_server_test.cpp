#include "headless/control_server.hpp"

#include "headless/control_fixture.hpp"
#include "headless/control_socket.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sys/stat.h>

using namespace tessarine;
using namespace tessarine::testing;

namespace {

json failed(const std::string& error) {
    return {{"ok", false}, {"error", error}};
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
}

} // namespace

TEST_F(ControlServerTest, UnknownTabletIsAllowedOnlyByItsOwnId) {
    startServer();
    auto status = command("status");
    EXPECT_EQ(status, json({{"ok", true},
                            {"state", "listening"},
                            {"description", "listening"},
                            {"trustedCount", 0},
                            {"port", port()}}));

    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Ana's tablet"));
    ASSERT_TRUE(waitForKind(Kind::awaitingAccept));
    EXPECT_EQ(command("status")["pending"],
              json({{"id", kTablet.toString()}, {"name", "Ana's tablet"}}));

    // Naming another tablet does nothing, and says so.
    EXPECT_EQ(command("allow", kOther.toString()), failed("no pending request for that id"));
    EXPECT_EQ(state(), AgentController::State::awaitingAccept(kTablet, "Ana's tablet"));

    std::string lower = kTablet.toString(); // ids are accepted in either case
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    EXPECT_EQ(command("allow", lower),
              json({{"ok", true}, {"id", kTablet.toString()}, {"name", "Ana's tablet"}}));
    ASSERT_TRUE(waitForState(AgentController::State::live("Ana's tablet", 0)));
    EXPECT_TRUE(tablet->waitForControl<DisplayConfig>());
    EXPECT_EQ(store_->loadAll(), (std::map<Uuid, std::string>{{kTablet, "Ana's tablet"}}));
    EXPECT_EQ(command("devices")["devices"],
              json({{{"id", kTablet.toString()}, {"name", "Ana's tablet"}}}));
    status = command("status");
    EXPECT_EQ(status["state"], "live");
    EXPECT_EQ(status["peerName"], "Ana's tablet");
    EXPECT_FALSE(status.contains("pending"));
    // Decided once: answering again changes nothing.
    EXPECT_EQ(command("deny", kTablet.toString()), failed("no pending request for that id"));
    EXPECT_EQ(state(), AgentController::State::live("Ana's tablet", 0));
}

TEST_F(ControlServerTest, DeniedTabletIsToldAndCannotBeAllowedAfterwards) {
    startServer();
    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Stranger"));
    ASSERT_TRUE(waitForKind(Kind::awaitingAccept));
    EXPECT_EQ(command("deny", kTablet.toString())["ok"], true);
    auto denied = tablet->waitForControl<Disconnect>();
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->reason, "denied");

    // The state reads awaitingAccept until the connection ends, but nothing
    // is pending: a late allow must not pretend to work.
    EXPECT_FALSE(command("status").contains("pending"));
    EXPECT_EQ(command("allow", kTablet.toString()), failed("no pending request for that id"));
    EXPECT_TRUE(store_->loadAll().empty());
    EXPECT_TRUE(media_->events.snapshot().empty());
}

TEST_F(ControlServerTest, DisconnectForgetAndForgetAll) {
    store_->saveAll({{kTablet, "Tab"}, {kOther, "Other"}});
    startServer();
    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Tab"));
    ASSERT_TRUE(waitForState(AgentController::State::live("Tab", 0)));

    EXPECT_EQ(command("disconnect"), json({{"ok", true}}));
    auto bye = tablet->waitForControl<Disconnect>();
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->reason, "disconnected");
    EXPECT_EQ(state(), AgentController::State::listening());
    EXPECT_EQ(command("disconnect"), failed("no tablet is connected"));

    EXPECT_EQ(command("forget", Uuid::random().toString()),
              failed("no trusted tablet with that id"));
    EXPECT_EQ(command("forget", kOther.toString()),
              json({{"ok", true}, {"id", kOther.toString()}, {"name", "Other"}}));
    EXPECT_EQ(store_->loadAll().size(), 1u);
    EXPECT_EQ(command("forget-all"), json({{"ok", true}, {"forgotten", 1}}));
    EXPECT_EQ(command("devices")["devices"], json::array());
    EXPECT_TRUE(store_->loadAll().empty());
}

TEST_F(ControlServerTest, MalformedRequestsAreAnsweredAndTheAgentCarriesOn) {
    startServer();
    RawControlConnection raw(socket_);
    // Pipelined on one connection; a blank line is no request and gets no answer.
    raw.send("not json\n[1,2]\n{}\n{\"command\":42}\n{\"command\":\"reboot\"}\n\n"
             "{\"command\":\"allow\"}\n{\"command\":\"deny\",\"id\":\"not-a-uuid\"}\n"
             "{\"command\":\"forget\",\"id\":7}\n{\"command\":\"\xff\"}\n" +
             std::string(30000, '[') + "\n{\"command\":\"status\"}\r\n");
    for (const char* error :
         {"request is not valid JSON", "request must be a JSON object", "missing command",
          "missing command", "unknown command: reboot", "missing or invalid id",
          "missing or invalid id", "missing or invalid id", "request is not valid JSON",
          "request is not valid JSON"})
        EXPECT_EQ(raw.readReply(), failed(error));
    EXPECT_EQ(raw.readReply().value_or(json())["state"], "listening");

    // A line over the limit is refused and its connection closed...
    RawControlConnection huge(socket_);
    huge.send(std::string(ControlServer::maxRequestBytes + 10, 'x'));
    EXPECT_EQ(huge.readReply(), failed("request too long (the limit is 65536 bytes)"));
    EXPECT_TRUE(huge.closedByServer());
    // ...a client that leaves before its answer costs nothing...
    RawControlConnection(socket_).send("{\"command\":\"devices\"}\n");
    // ...and a last request without its newline is still answered.
    RawControlConnection unterminated(socket_);
    unterminated.send("{\"command\":\"status\"}");
    unterminated.socket().shutdown(asio::socket_base::shutdown_send);
    EXPECT_EQ(unterminated.readReply().value_or(json())["ok"], true);

    EXPECT_EQ(state(), AgentController::State::listening());
}

TEST_F(ControlServerTest, ClientsBeyondTheLimitAreTurnedAway) {
    startServer();
    std::vector<std::unique_ptr<RawControlConnection>> clients;
    for (std::size_t i = 0; i < ControlServer::maxClients; ++i) {
        clients.push_back(std::make_unique<RawControlConnection>(socket_));
        clients.back()->send("{\"command\":\"status\"}\n"); // answered: it is being served
        ASSERT_TRUE(clients.back()->readReply());
    }
    RawControlConnection extra(socket_);
    EXPECT_EQ(extra.readReply(), failed("too many control clients"));
    EXPECT_TRUE(extra.closedByServer());
    clients.front()->send("{\"command\":\"devices\"}\n"); // those served still are
    EXPECT_EQ(clients.front()->readReply().value_or(json())["ok"], true);
}

TEST_F(ControlServerTest, IdleConnectionsAreClosed) {
    startServer(std::chrono::milliseconds(200));
    RawControlConnection silent(socket_);
    RawControlConnection stalled(socket_);
    stalled.send("{\"command\":"); // half a request, then nothing
    EXPECT_TRUE(silent.closedByServer());
    EXPECT_TRUE(stalled.closedByServer());
    EXPECT_EQ(command("status")["ok"], true);
}

TEST_F(ControlServerTest, SocketFileIsPrivateOursAloneAndCleanedUp) {
    auto startError = [&](const std::filesystem::path& path) {
        return executor_.call([&] {
            try {
                ControlServer(executor_.executor(), controller_, path).start();
            } catch (const ControlError& e) {
                return std::optional(e.code());
            }
            return std::optional<ControlErrorCode>();
        });
    };
    startController();
    socket_ = home_ / "run" / "control.sock";
    // What a crashed agent leaves: the file of a socket nobody answers on.
    std::filesystem::create_directory(home_ / "run", home_);
    asio::io_context io;
    {
        asio::local::stream_protocol::acceptor crashed(
            io, asio::local::stream_protocol::endpoint(socket_.native()));
        // While it answers, it is an agent and stays.
        EXPECT_EQ(startError(socket_), ControlErrorCode::alreadyRunning);
    }
    server_ = executor_.call([&] {
        auto server = std::make_unique<ControlServer>(executor_.executor(), controller_, socket_);
        server->start();
        return server;
    });
    EXPECT_TRUE(logs_.contains("Control", "Replacing stale control socket " + socket_.native()));
    EXPECT_EQ(modeOf(socket_.parent_path()) & 0777, 0700u);
    EXPECT_TRUE(S_ISSOCK(modeOf(socket_)));
    EXPECT_EQ(modeOf(socket_) & 0777, 0600u);

    EXPECT_EQ(startError(socket_), ControlErrorCode::alreadyRunning); // a second agent
    EXPECT_EQ(command("status")["ok"], true);
    executor_.call([&] { server_.reset(); });
    EXPECT_FALSE(std::filesystem::exists(socket_));
    EXPECT_THROW(command("status"), ControlError);

    std::ofstream(socket_) << "keep me"; // not a socket: not ours to delete
    EXPECT_EQ(startError(socket_), ControlErrorCode::socketPathOccupied);
    EXPECT_EQ(std::filesystem::file_size(socket_), 7u);

    // The directory must be this user's alone, and only its last level is made.
    std::filesystem::permissions(home_ / "run", std::filesystem::perms::group_read,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(startError(socket_), ControlErrorCode::runtimeDirectoryUnsafe);
    EXPECT_THROW(command("status"), ControlError); // the client will not use it either
    std::filesystem::create_directory_symlink(home_, home_ / "link");
    EXPECT_EQ(startError(home_ / "link" / "control.sock"),
              ControlErrorCode::runtimeDirectoryUnsafe);
    EXPECT_EQ(startError(home_ / "missing" / "run" / "control.sock"),
              ControlErrorCode::runtimeDirectoryUnavailable);
    EXPECT_EQ(startError(home_ / "long" / std::string(120, 's')),
              ControlErrorCode::socketPathTooLong);
}
