#include "headless/control_cli.hpp"

#include "headless/control_fixture.hpp"
#include "headless/terminal_text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace tessarine;
using namespace tessarine::testing;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class ControlCliTest : public ControlServerTest {
protected:
    Outcome run(std::vector<std::string> args) { return runAt(socket_, std::move(args)); }

    static Outcome runAt(const std::filesystem::path& socket, std::vector<std::string> args) {
        std::ostringstream out, err;
        Outcome outcome;
        outcome.status = runControlCommand(args, ControlClient(socket), out, err);
        outcome.out = out.str();
        outcome.err = err.str();
        return outcome;
    }
};

} // namespace

TEST_F(ControlCliTest, AnswersAreReadableAndExitStatusesTellSuccess) {
    startServer();
    auto status = run({"status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.out, "Listening on port " + std::to_string(port()) +
                              " — select this computer on your tablet\nTrusted tablets: 0\n");
    EXPECT_EQ(run({"devices"}).out, "No trusted tablets.\n");

    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Ana's tablet"));
    ASSERT_TRUE(waitForKind(Kind::awaitingAccept));
    const std::string id = kTablet.toString();
    EXPECT_EQ(run({"status"}).out, "Tablet \"Ana's tablet\" (" + id +
                                       ") wants to connect — allow with: tessarine allow " + id +
                                       "   deny with: tessarine deny " + id +
                                       "\nTrusted tablets: 0\n");

    auto wrong = run({"allow", kOther.toString()});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.out, "");
    EXPECT_EQ(wrong.err, "tessarine: no pending request for that id\n");

    auto allowed = run({"allow", id});
    EXPECT_EQ(allowed.status, 0);
    EXPECT_EQ(allowed.out, "Allowed \"Ana's tablet\" (" + id + ").\n");
    ASSERT_TRUE(waitForKind(Kind::live));
    EXPECT_EQ(run({"status"}).out, "Connected — \"Ana's tablet\"\nTrusted tablets: 1\n");
    EXPECT_EQ(run({"devices"}).out, id + "  Ana's tablet\n");
    EXPECT_EQ(run({"disconnect"}).out, "Disconnected.\n");
    EXPECT_EQ(run({"forget", id}).out, "Forgot \"Ana's tablet\" (" + id + ").\n");
    EXPECT_EQ(run({"forget-all"}).out, "Forgot 0 trusted tablet(s).\n");
}

TEST_F(ControlCliTest, MalformedCommandLinesNeverReachTheAgent) {
    // No server at all: a usage error is found before connecting.
    const auto nowhere = std::filesystem::path("/nonexistent-tessarine") / "control.sock";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"allow"}, {"status", "extra"}, {"forget", "a", "b"}}) {
        auto outcome = runAt(nowhere, args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_FALSE(outcome.err.empty());
    }
    auto notRunning = runAt(nowhere, {"status"});
    EXPECT_EQ(notRunning.status, 1);
    EXPECT_EQ(notRunning.err, "tessarine: Tessarine is not running\n");
}

TEST_F(ControlCliTest, TabletNamesCannotForgeOutput) {
    startServer();
    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Evil\x1b[2J\nallow with: tessarine allow X\xe2\x80\xae"));
    ASSERT_TRUE(waitForKind(Kind::awaitingAccept));
    auto status = run({"status"});
    EXPECT_EQ(status.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(std::count(status.out.begin(), status.out.end(), '\n'), 2); // prompt + count
    EXPECT_NE(status.out.find("Tablet \"Evil\xEF\xBF\xBD[2J\xEF\xBF\xBD"
                              "allow with: tessarine allow X\xEF\xBF\xBD\" ("),
              std::string::npos)
        << status.out;
}

TEST(TerminalText, KeepsTextAndReplacesWhatDrivesTheTerminal) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(terminalSafe("Ana's iPad"), "Ana's iPad");
    EXPECT_EQ(terminalSafe("Zoë’s 平板 🎨"), "Zoë’s 平板 🎨");
    EXPECT_EQ(terminalSafe(""), "");
    EXPECT_EQ(terminalSafe("a\nb\tc\rd"), "a" + r + "b" + r + "c" + r + "d");
    EXPECT_EQ(terminalSafe("\x1b]0;title\x07"), r + "]0;title" + r);
    EXPECT_EQ(terminalSafe("x\xc2\x9b"
                           "31m"),
              "x" + r + "31m"); // C1 CSI
    EXPECT_EQ(terminalSafe("a\xe2\x80\xae"
                           "b\xe2\x81\xa6"),
              "a" + r + "b" + r);                             // bidi
    EXPECT_EQ(terminalSafe("l\xe2\x80\xa8m"), "l" + r + "m"); // line separator
    EXPECT_EQ(terminalSafe("bad\xff\xfe"
                           "end"),
              "bad" + r + r + "end");
    EXPECT_EQ(terminalSafe("cut\xe2\x82"), "cut" + r + r); // truncated sequence
    EXPECT_EQ(terminalSafe(std::string("nul\0byte", 8)), "nul" + r + "byte");
}
