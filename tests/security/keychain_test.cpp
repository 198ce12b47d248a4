#include "security/keychain.hpp"
#include "temp_home.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace tessarine;
using tessarine::testing::TempHome;

namespace {

std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

KeychainErrorCode errorOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const KeychainError& e) {
        return e.code();
    }
    ADD_FAILURE() << "no KeychainError thrown";
    return KeychainErrorCode::ioFailure;
}

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

private:
    mode_t previous_;
};

} // namespace

TEST(Keychain, AddFindUpdateRemoveWithDistinctStatuses) {
    TempHome home;
    Keychain keychain;
    EXPECT_EQ(keychain.directory(), home.keychainDir());
    auto id = KeychainItemId::genericPassword("app.tessarine.test", "acct");

    EXPECT_FALSE(keychain.find(id));
    EXPECT_EQ(keychain.update(id, bytes("x")), KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.remove(id), KeychainStatus::itemNotFound);

    EXPECT_EQ(keychain.add(id, bytes("first")), KeychainStatus::success);
    EXPECT_EQ(keychain.add(id, bytes("second")), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.find(id), bytes("first")); // a duplicate add changes nothing

    EXPECT_EQ(keychain.update(id, bytes("")), KeychainStatus::success);
    EXPECT_EQ(keychain.find(id), bytes(""));
    EXPECT_EQ(keychain.update(id, bytes("third")), KeychainStatus::success);
    EXPECT_EQ(keychain.find(id), bytes("third"));

    EXPECT_EQ(keychain.remove(id), KeychainStatus::success);
    EXPECT_FALSE(keychain.find(id));
    EXPECT_EQ(home.itemCount(), 0u);
}

TEST(Keychain, IdentifiersNeverCollideOrEscapeTheDirectory) {
    TempHome home;
    Keychain keychain;
    const std::vector<KeychainItemId> ids = {
        KeychainItemId::genericPassword("a", "bc"),
        KeychainItemId::genericPassword("ab", "c"),
        KeychainItemId::genericPassword("abc", ""),
        KeychainItemId::key("abc"),
        KeychainItemId::certificate("abc"),
        KeychainItemId::genericPassword("../escape", "../../x"),
        KeychainItemId::certificate("/etc/passwd"),
        KeychainItemId::key(std::string("nul\0inside", 10)),
        KeychainItemId::key(std::string(5000, 'k')),
    };
    for (std::size_t i = 0; i < ids.size(); ++i)
        ASSERT_EQ(keychain.add(ids[i], bytes(std::to_string(i))), KeychainStatus::success) << i;
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(keychain.find(ids[i]), bytes(std::to_string(i))) << i;

    EXPECT_EQ(home.itemCount(), ids.size());
    // Nothing beside the keychain directory was created.
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(home.path())) {
        EXPECT_EQ(entry.path(), home.keychainDir());
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST(Keychain, DirectoryAndFilesArePrivateWhateverTheUmask) {
    for (mode_t mask : {mode_t{0}, mode_t{0277}}) {
        TempHome home;
        ScopedUmask umask(mask);
        // A deeper root also gets private parents.
        Keychain keychain(home.path() / "nested" / "keychain");
        auto id = KeychainItemId::certificate("label");
        ASSERT_EQ(keychain.add(id, bytes("v1")), KeychainStatus::success);
        ASSERT_EQ(keychain.update(id, bytes("v2")), KeychainStatus::success);
        EXPECT_EQ(modeOf(home.path() / "nested"), 0700u) << "umask " << mask;
        EXPECT_EQ(modeOf(keychain.directory()), 0700u) << "umask " << mask;
        for (const auto& entry : std::filesystem::directory_iterator(keychain.directory()))
            EXPECT_EQ(modeOf(entry.path()), 0600u) << entry.path();
        std::filesystem::permissions(home.path() / "nested", std::filesystem::perms::owner_all);
    }
}

TEST(Keychain, InterruptedWritesLeaveTheOldValue) {
    TempHome home;
    Keychain keychain;
    auto id = KeychainItemId::genericPassword("svc", "acct");
    ASSERT_EQ(keychain.add(id, bytes("old value")), KeychainStatus::success);
    const auto itemPath = home.keychainDir() / Keychain::fileName(id);
    ASSERT_TRUE(std::filesystem::exists(itemPath));

    // A crash after writing the temporary file but before the rename leaves
    // partial temporaries behind, some with the names this process would pick.
    const std::string name = Keychain::fileName(id);
    for (int i = 0; i < 4; ++i) {
        std::ofstream(home.keychainDir() /
                      ("." + name + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(i)))
            << "torn";
    }
    EXPECT_EQ(keychain.find(id), bytes("old value"));

    // The next write still succeeds and replaces the item whole.
    ASSERT_EQ(keychain.update(id, bytes("new value")), KeychainStatus::success);
    EXPECT_EQ(keychain.find(id), bytes("new value"));
    EXPECT_EQ(home.itemCount(), 5u); // the item and the four leftovers, nothing of ours

    // A write that fails before the rename keeps the old value and leaves no temporary.
    std::vector<std::uint8_t> huge(Keychain::maxItemSize + 1, 'x');
    EXPECT_EQ(errorOf([&] { keychain.update(id, huge); }), KeychainErrorCode::itemTooLarge);
    EXPECT_EQ(keychain.find(id), bytes("new value"));

    // A rename that fails (the item's name is taken by a directory) cleans up too.
    auto blocked = KeychainItemId::key("blocked");
    std::filesystem::create_directory(home.keychainDir() / Keychain::fileName(blocked));
    std::ofstream(home.keychainDir() / Keychain::fileName(blocked) / "keep") << "x";
    EXPECT_EQ(errorOf([&] { keychain.update(blocked, bytes("v")); }), KeychainErrorCode::ioFailure);
    EXPECT_EQ(home.itemCount(), 5u);
}

TEST(Keychain, RefusesADirectoryThatIsNotPrivate) {
    TempHome home;
    Keychain keychain;
    auto id = KeychainItemId::key("tag");
    ASSERT_EQ(keychain.add(id, bytes("secret")), KeychainStatus::success);

    ASSERT_EQ(::chmod(home.keychainDir().c_str(), 0755), 0);
    EXPECT_EQ(errorOf([&] { keychain.find(id); }), KeychainErrorCode::unsafeDirectory);
    EXPECT_EQ(errorOf([&] { keychain.add(KeychainItemId::key("other"), bytes("v")); }),
              KeychainErrorCode::unsafeDirectory);
    EXPECT_EQ(modeOf(home.keychainDir()), 0755u); // refused, not silently repaired

    ASSERT_EQ(::chmod(home.keychainDir().c_str(), 0710), 0);
    EXPECT_EQ(errorOf([&] { keychain.update(id, bytes("v")); }),
              KeychainErrorCode::unsafeDirectory);
    ASSERT_EQ(::chmod(home.keychainDir().c_str(), 0700), 0);
    EXPECT_EQ(keychain.find(id), bytes("secret"));

    // A symlink in place of the directory is refused, even to a private directory.
    auto elsewhere = home.path() / "elsewhere";
    std::filesystem::rename(home.keychainDir(), elsewhere);
    std::filesystem::create_directory_symlink(elsewhere, home.keychainDir());
    EXPECT_EQ(errorOf([&] { keychain.find(id); }), KeychainErrorCode::unsafeDirectory);
    std::filesystem::remove(home.keychainDir());
    std::filesystem::rename(elsewhere, home.keychainDir());

    // A directory owned by someone else (only root can arrange that).
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(home.keychainDir().c_str(), 65534, 65534), 0);
        EXPECT_EQ(errorOf([&] { keychain.find(id); }), KeychainErrorCode::unsafeDirectory);
        ASSERT_EQ(::chown(home.keychainDir().c_str(), 0, 0), 0);
    }
    EXPECT_EQ(keychain.find(id), bytes("secret"));
}

TEST(Keychain, DefaultDirectoryFollowsTheEnvironment) {
    TempHome home;
    EXPECT_EQ(Keychain::defaultDirectory(), home.keychainDir());

    std::optional<std::string> xdg;
    if (const char* value = std::getenv("XDG_DATA_HOME"))
        xdg = value;
    ::unsetenv("TESSARINE_HOME");
    ::setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(Keychain::defaultDirectory(), "/data/home/tessarine/keychain");
    ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
    std::optional<std::string> user;
    if (const char* value = std::getenv("HOME"))
        user = value;
    ::setenv("HOME", "/home/tester", 1);
    EXPECT_EQ(Keychain::defaultDirectory(), "/home/tester/.local/share/tessarine/keychain");
    if (user)
        ::setenv("HOME", user->c_str(), 1);
    else
        ::unsetenv("HOME");
    if (xdg)
        ::setenv("XDG_DATA_HOME", xdg->c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
}
