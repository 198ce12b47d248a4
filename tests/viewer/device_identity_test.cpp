#include "viewer/device_identity.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace tessarine;
namespace fs = std::filesystem;

namespace {

class DeviceIdentityTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessarine-viewer-XXXXXX";
        root_ = mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(root_); }

    static mode_t modeOf(const fs::path& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 0777;
    }

    static std::string contents(const fs::path& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path root_;
};

} // namespace

TEST_F(DeviceIdentityTest, CreatedPrivatelyOnceAndKeptAfterwards) {
    const fs::path dir = root_ / "nested" / "tessarine-viewer";
    const Uuid first = DeviceIdentity::loadOrCreate(dir);
    const fs::path file = dir / DeviceIdentity::fileName;
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(contents(file), first.toString() + "\n");
    EXPECT_FALSE(fs::exists(dir / "device-id.tmp"));

    EXPECT_EQ(DeviceIdentity::loadOrCreate(dir), first);
    EXPECT_EQ(DeviceIdentity::loadOrCreate(dir), first);

    // Two fresh folders never share an id.
    EXPECT_NE(DeviceIdentity::loadOrCreate(root_ / "other"), first);
}

TEST_F(DeviceIdentityTest, CorruptFileIsReplacedAndHandEditedOneAccepted) {
    LogCapture logs;
    const fs::path file = root_ / DeviceIdentity::fileName;
    for (const std::string& corrupt :
         {std::string("not a uuid\n"), std::string(), std::string(5000, 'A'),
          std::string("11111111-2222-3333-4444-55555555555\n")}) {
        { std::ofstream(file, std::ios::trunc) << corrupt; }
        const Uuid id = DeviceIdentity::loadOrCreate(root_);
        EXPECT_EQ(contents(file), id.toString() + "\n");
        EXPECT_EQ(modeOf(file), 0600u);
        EXPECT_EQ(DeviceIdentity::loadOrCreate(root_), id);
    }
    EXPECT_EQ(logs.count("Viewer", "Device id file "), 4u);

    // Lower case and surrounding blanks, as a person might write it.
    { std::ofstream(file, std::ios::trunc) << "  aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee \n"; }
    EXPECT_EQ(DeviceIdentity::loadOrCreate(root_).toString(),
              "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE");
}

TEST_F(DeviceIdentityTest, FolderThatCannotExistIsAClearError) {
    { std::ofstream(root_ / "plain-file") << "x"; }
    try {
        DeviceIdentity::loadOrCreate(root_ / "plain-file" / "sub");
        FAIL() << "no error";
    } catch (const DeviceIdentityError& error) {
        EXPECT_EQ(error.code(), DeviceIdentityError::Code::directoryUnavailable);
        EXPECT_STREQ(error.what(), "The viewer's configuration folder cannot be created");
    }
}

TEST_F(DeviceIdentityTest, DefaultFolderFollowsXdgConfigHome) {
    const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = savedXdg ? savedXdg : "";
    setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
    EXPECT_EQ(DeviceIdentity::defaultConfigDir(), fs::path("/somewhere/config/tessarine-viewer"));
    // Relative values are not valid per the XDG rules: fall back to ~/.config.
    setenv("XDG_CONFIG_HOME", "relative", 1);
    const char* home = std::getenv("HOME");
    EXPECT_EQ(DeviceIdentity::defaultConfigDir(),
              fs::path(home ? home : ".") / ".config" / "tessarine-viewer");
    if (savedXdg)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}
