#include "headless/control_server.hpp"

#include "headless/control_fixture.hpp"
#include "headless/control_socket.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sys/stat.h>

using namespace tessarine;
using namespace tessarine::testing;

namespace {

std::string lowerCase(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
}

ControlErrorCode startError(ExecutorThread& executor, const std::shared_ptr<AgentController>& c,
                            const std::filesystem::path& path) {
    return executor.call([&] {
        ControlServer server(executor.executor(), c, path);
        try {
            server.start();
        } catch (const ControlError& e) {
            return e.code();
        }
        ADD_FAILURE() << "start succeeded at " << path;
        return ControlErrorCode::socketSetupFailed;
    });
}

} // namespace

TEST_F(ControlServerTest, UnknownTabletIsAllowedOnlyByItsOwnId) {
    startServer();
    auto status = command("status");
    EXPECT_EQ(status["ok"], true);
    EXPECT_EQ(status["state"], "listening");
    EXPECT_EQ(status["trustedCount"], 0);
    EXPECT_EQ(status["port"], port());
    EXPECT_FALSE(status.contains("pending"));

    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Ana's tablet"));
    ASSERT_TRUE(waitForKind(Kind::awaitingAccept));
    status = command("status");
    EXPECT_EQ(status["state"], "awaitingAccept");
    EXPECT_EQ(status["pending"], json({{"id", kTablet.toString()}, {"name", "Ana's tablet"}}));

    // Naming another tablet does nothing, and says so.
    auto wrong = command("allow", kOther.toString());
    EXPECT_EQ(wrong, json({{"ok", false}, {"error", "no pending request for that id"}}));
    EXPECT_EQ(state(), AgentController::State::awaitingAccept(kTablet, "Ana's tablet"));
    EXPECT_TRUE(store_->loadAll().empty());

    // Ids are accepted in either case.
    auto allowed = command("allow", lowerCase(kTablet.toString()));
    EXPECT_EQ(allowed, json({{"ok", true}, {"id", kTablet.toString()}, {"name", "Ana's tablet"}}));
    ASSERT_TRUE(waitForState(AgentController::State::live("Ana's tablet", 0)));
    EXPECT_TRUE(tablet->waitForControl<DisplayConfig>());
    EXPECT_EQ(store_->loadAll(), (std::map<Uuid, std::string>{{kTablet, "Ana's tablet"}}));

    EXPECT_EQ(command("devices"),
              json({{"ok", true},
                    {"devices", {{{"id", kTablet.toString()}, {"name", "Ana's tablet"}}}}}));
    status = command("status");
    EXPECT_EQ(status["state"], "live");
    EXPECT_EQ(status["peerName"], "Ana's tablet");
    EXPECT_EQ(status["trustedCount"], 1);
    EXPECT_FALSE(status.contains("pending"));
    // The decision was made; answering again changes nothing.
    EXPECT_EQ(command("allow", kTablet.toString())["ok"], false);
    EXPECT_EQ(command("deny", kTablet.toString())["ok"], false);
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

    // The state shows awaitingAccept until the connection ends, but nothing
    // is pending any more: a late allow must not pretend to work.
    auto status = command("status");
    EXPECT_FALSE(status.contains("pending"));
    EXPECT_EQ(command("allow", kTablet.toString()),
              json({{"ok", false}, {"error", "no pending request for that id"}}));
    EXPECT_TRUE(store_->loadAll().empty());
    EXPECT_TRUE(media_->events.snapshot().empty()); // no session was set up
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
    EXPECT_EQ(command("disconnect"), json({{"ok", false}, {"error", "no tablet is connected"}}));

    EXPECT_EQ(command("forget", Uuid::random().toString()),
              json({{"ok", false}, {"error", "no trusted tablet with that id"}}));
    EXPECT_EQ(command("forget", kOther.toString()),
              json({{"ok", true}, {"id", kOther.toString()}, {"name", "Other"}}));
    EXPECT_EQ(command("devices")["devices"], json({{{"id", kTablet.toString()}, {"name", "Tab"}}}));
    EXPECT_EQ(store_->loadAll().size(), 1u);

    EXPECT_EQ(command("forget-all"), json({{"ok", true}, {"forgotten", 1}}));
    EXPECT_EQ(command("devices")["devices"], json::array());
    EXPECT_TRUE(store_->loadAll().empty());
    EXPECT_EQ(command("status")["trustedCount"], 0);
}

TEST_F(ControlServerTest, MalformedRequestsAreAnsweredAndTheAgentCarriesOn) {
    startServer();
    RawControlConnection raw(socket_);
    // Pipelined on one connection; a blank line is no request and gets no answer.
    raw.send("not json\n"
             "[1,2]\n"
             "{}\n"
             "{\"command\":42}\n"
             "{\"command\":\"reboot\"}\n"
             "\n"
             "{\"command\":\"allow\"}\n"
             "{\"command\":\"deny\",\"id\":\"not-a-uuid\"}\n"
             "{\"command\":\"forget\",\"id\":7}\n"
             "{\"command\":\"\xff\xfe\"}\n" +
             std::string(30000, '[') + "\n" + "{\"command\":\"status\"}\r\n");
    const std::vector<std::string> expected = {
        "request is not valid JSON", "request must be a JSON object", "missing command",
        "missing command",           "unknown command: reboot",       "missing or invalid id",
        "missing or invalid id",     "missing or invalid id",         "request is not valid JSON",
        "request is not valid JSON"};
    for (const auto& error : expected) {
        auto reply = raw.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, json({{"ok", false}, {"error", error}}));
    }
    auto status = raw.readReply();
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["state"], "listening");

    // A line over the limit is refused and its connection closed...
    RawControlConnection huge(socket_);
    huge.send(std::string(ControlServer::maxRequestBytes + 10, 'x'));
    auto tooLong = huge.readReply();
    ASSERT_TRUE(tooLong);
    EXPECT_EQ((*tooLong)["ok"], false);
    EXPECT_EQ((*tooLong)["error"], "request too long (the limit is 65536 bytes)");
    EXPECT_TRUE(huge.closedByServer());

    // ...a client that leaves before its answer costs nothing...
    {
        RawControlConnection impatient(socket_);
        impatient.send("{\"command\":\"devices\"}\n");
    }
    // ...and a last request without its newline is still answered.
    RawControlConnection unterminated(socket_);
    unterminated.send("{\"command\":\"status\"}");
    unterminated.socket().shutdown(asio::socket_base::shutdown_send);
    auto last = unterminated.readReply();
    ASSERT_TRUE(last);
    EXPECT_EQ((*last)["ok"], true);

    EXPECT_EQ(command("status")["state"], "listening");
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
    auto refused = extra.readReply();
    ASSERT_TRUE(refused);
    EXPECT_EQ(*refused, json({{"ok", false}, {"error", "too many control clients"}}));
    EXPECT_TRUE(extra.closedByServer());

    // Those being served still are.
    clients.front()->send("{\"command\":\"devices\"}\n");
    auto devices = clients.front()->readReply();
    ASSERT_TRUE(devices);
    EXPECT_EQ((*devices)["ok"], true);
}

TEST_F(ControlServerTest, IdleConnectionsAreClosed) {
    startServer(std::chrono::milliseconds(200));
    RawControlConnection silent(socket_);
    RawControlConnection stalled(socket_);
    stalled.send("{\"command\":"); // half a request, then nothing
    RawControlConnection busy(socket_);
    busy.send("{\"command\":\"status\"}\n");
    ASSERT_TRUE(busy.readReply());

    EXPECT_TRUE(silent.closedByServer());
    EXPECT_TRUE(stalled.closedByServer());
    EXPECT_TRUE(busy.closedByServer());
    EXPECT_EQ(command("status")["ok"], true);
}

TEST_F(ControlServerTest, SocketIsPrivateAndRemovedOnStop) {
    startServer();
    EXPECT_TRUE(S_ISDIR(modeOf(socket_.parent_path())));
    EXPECT_EQ(modeOf(socket_.parent_path()) & 0777, 0700u);
    EXPECT_TRUE(S_ISSOCK(modeOf(socket_)));
    EXPECT_EQ(modeOf(socket_) & 0777, 0600u);

    // A second agent on the same socket is refused while the first one runs on.
    EXPECT_EQ(startError(executor_, controller_, socket_), ControlErrorCode::alreadyRunning);
    EXPECT_TRUE(std::filesystem::exists(socket_));
    EXPECT_EQ(command("status")["ok"], true);

    executor_.call([&] { server_->stop(); });
    EXPECT_FALSE(std::filesystem::exists(socket_));
    EXPECT_THROW(command("status"), ControlError);
}

TEST_F(ControlServerTest, StaleSocketIsReplacedButLiveOrForeignFilesAreNot) {
    startController();
    const auto directory = home_ / "run";
    std::filesystem::create_directory(directory);
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all);
    socket_ = directory / "control.sock";

    // Someone answers on the socket (not one of our servers, so no lock held).
    {
        asio::io_context io;
        asio::local::stream_protocol::acceptor live(
            io, asio::local::stream_protocol::endpoint(socket_.native()));
        EXPECT_EQ(startError(executor_, controller_, socket_), ControlErrorCode::alreadyRunning);
    }
    // The acceptor is gone, its file stays: what a crashed agent leaves.
    ASSERT_TRUE(std::filesystem::exists(socket_));
    server_ = executor_.call([&] {
        auto server = std::make_unique<ControlServer>(executor_.executor(), controller_, socket_);
        server->start();
        return server;
    });
    EXPECT_TRUE(logs_.contains("Control", "Replacing stale control socket " + socket_.native()));
    EXPECT_EQ(command("status")["ok"], true);
    executor_.call([&] { server_.reset(); });

    // A plain file there is not ours to delete.
    std::ofstream(socket_) << "keep me";
    EXPECT_EQ(startError(executor_, controller_, socket_), ControlErrorCode::socketPathOccupied);
    std::ifstream kept(socket_);
    std::string content;
    std::getline(kept, content);
    EXPECT_EQ(content, "keep me");
}

TEST_F(ControlServerTest, DirectoryMustBePrivateToThisUser) {
    startController();
    const auto open = home_ / "open";
    std::filesystem::create_directory(open);
    std::filesystem::permissions(open, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
    EXPECT_EQ(startError(executor_, controller_, open / "control.sock"),
              ControlErrorCode::runtimeDirectoryUnsafe);

    const auto link = home_ / "link";
    std::filesystem::create_directory_symlink(home_, link);
    EXPECT_EQ(startError(executor_, controller_, link / "control.sock"),
              ControlErrorCode::runtimeDirectoryUnsafe);

    // Only the last level is created; a missing runtime directory is an error.
    EXPECT_EQ(startError(executor_, controller_, home_ / "missing" / "run" / "control.sock"),
              ControlErrorCode::runtimeDirectoryUnavailable);
    EXPECT_FALSE(std::filesystem::exists(home_ / "missing"));

    EXPECT_EQ(startError(executor_, controller_, home_ / "run" / std::string(120, 's')),
              ControlErrorCode::socketPathTooLong);

    // The client will not talk to a socket in a directory others control either.
    EXPECT_THROW(
        {
            try {
                ControlClient(open / "control.sock").request({{"command", "status"}});
            } catch (const ControlError& e) {
                EXPECT_EQ(e.code(), ControlErrorCode::runtimeDirectoryUnsafe);
                throw;
            }
        },
        ControlError);
}
