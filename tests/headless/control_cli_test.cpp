#include "headless/control_cli.hpp"

#include "headless/control_fixture.hpp"
#include "headless/terminal_text.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace tessarine;
using namespace tessarine::testing;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome run(const std::filesystem::path& socket, std::vector<std::string> args) {
    std::ostringstream out, err;
    const int status = runControlCommand(args, ControlClient(socket), out, err);
    return {status, out.str(), err.str()};
}

const std::string kReplacement = "\xEF\xBF\xBD";

} // namespace

using ControlCliTest = ControlServerTest;

TEST_F(ControlCliTest, AnswersAreReadableAndExitStatusesTellSuccess) {
    startServer();
    EXPECT_EQ(run(socket_, {"status"}).out,
              "Listening on port " + std::to_string(port()) +
                  " — select this computer on your tablet\nTrusted tablets: 0\n");

    // The tablet's name cannot add lines of its own to the prompt.
    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Ana's\ntablet\x1b[2J"));
    ASSERT_TRUE(waitForKind(Kind::awaitingAccept));
    const std::string id = kTablet.toString();
    const std::string name = "Ana's" + kReplacement + "tablet" + kReplacement + "[2J";
    EXPECT_EQ(run(socket_, {"status"}).out,
              "Tablet \"" + name + "\" (" + id +
                  ") wants to connect — allow with: tessarine allow " + id +
                  "   deny with: tessarine deny " + id + "\nTrusted tablets: 0\n");

    auto wrong = run(socket_, {"allow", kOther.toString()});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, "tessarine: no pending request for that id\n");
    auto allowed = run(socket_, {"allow", id});
    EXPECT_EQ(allowed.status, 0);
    EXPECT_EQ(allowed.out, "Allowed \"" + name + "\" (" + id + ").\n");
    ASSERT_TRUE(waitForKind(Kind::live));
    EXPECT_EQ(run(socket_, {"devices"}).out, id + "  " + name + "\n");

    // Malformed command lines never reach the agent.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"allow"}, {"status", "extra"}}) {
        auto outcome = run("/nonexistent-tessarine/control.sock", args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_FALSE(outcome.err.empty());
    }
    auto notRunning = run("/nonexistent-tessarine/control.sock", {"status"});
    EXPECT_EQ(notRunning.status, 1);
    EXPECT_EQ(notRunning.err, "tessarine: Tessarine is not running\n");
}

TEST(TerminalText, KeepsTextAndReplacesWhatDrivesTheTerminal) {
    const std::string& r = kReplacement;
    EXPECT_EQ(terminalSafe("Zoë’s 平板 🎨"), "Zoë’s 平板 🎨");
    EXPECT_EQ(terminalSafe("a\nb\tc\rd"), "a" + r + "b" + r + "c" + r + "d");
    EXPECT_EQ(terminalSafe("\x1b]0;title\x07"), r + "]0;title" + r);
    EXPECT_EQ(terminalSafe("x\xc2\x9b"
                           "31m"),
              "x" + r + "31m"); // C1 CSI
    EXPECT_EQ(terminalSafe("a\xe2\x80\xae"
                           "b\xe2\x81\xa6"),
              "a" + r + "b" + r);                             // bidirectional override and isolate
    EXPECT_EQ(terminalSafe("l\xe2\x80\xa8m"), "l" + r + "m"); // line separator
    EXPECT_EQ(terminalSafe("bad\xff\xfe"
                           "end"),
              "bad" + r + r + "end");
    EXPECT_EQ(terminalSafe("cut\xe2\x82"), "cut" + r + r); // truncated sequence
    EXPECT_EQ(terminalSafe(std::string("nul\0byte", 8)), "nul" + r + "byte");
}
