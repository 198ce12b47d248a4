#include "net/link_classifier.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace tessarine {
namespace {

namespace fs = std::filesystem;

class LinkClassifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessarine-sysnet-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    void addInterface(const std::string& name, int type, const char* marker = nullptr) {
        fs::create_directories(root_ / name);
        std::ofstream(root_ / name / "type") << type << "\n";
        if (marker)
            fs::create_directories(root_ / name / marker);
    }

    fs::path root_;
};

TEST_F(LinkClassifierTest, ClassifiesBySysfsEntry) {
    addInterface("wlan0", 1, "wireless");
    addInterface("wlp2s0", 1, "phy80211");
    addInterface("enp3s0", 1);
    addInterface("lo", 772);
    addInterface("tun0", 65534);
    EXPECT_EQ(classifyInterface("wlan0", root_), TransportLink::wifi);
    EXPECT_EQ(classifyInterface("wlp2s0", root_), TransportLink::wifi);
    EXPECT_EQ(classifyInterface("enp3s0", root_), TransportLink::cable);
    EXPECT_EQ(classifyInterface("lo", root_), TransportLink::other);
    EXPECT_EQ(classifyInterface("tun0", root_), TransportLink::other);
    EXPECT_EQ(classifyInterface("missing0", root_), TransportLink::other);
    EXPECT_EQ(classifyInterface("../enp3s0", root_), TransportLink::other);
    EXPECT_EQ(classifyInterface("", root_), TransportLink::other);
}

TEST(LinkForAddressTest, FindsTheLoopbackInterface) {
    EXPECT_EQ(interfaceForAddress(asio::ip::make_address("127.0.0.1")), "lo");
    EXPECT_EQ(interfaceForAddress(asio::ip::make_address("::ffff:127.0.0.1")), "lo");
    EXPECT_EQ(linkForLocalAddress(asio::ip::make_address("127.0.0.1")), TransportLink::other);
    // TEST-NET-1 is never assigned to a local interface.
    EXPECT_EQ(interfaceForAddress(asio::ip::make_address("192.0.2.1")), std::nullopt);
    EXPECT_EQ(linkForLocalAddress(asio::ip::make_address("192.0.2.1")), TransportLink::other);
}

} // namespace
} // namespace tessarine
