#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tessarine::testing {

// A private temporary TESSARINE_HOME for one test; restores the previous value.
class TempHome {
public:
    TempHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessarine-sec-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        if (const char* old = std::getenv("TESSARINE_HOME"))
            previous_ = old;
        ::setenv("TESSARINE_HOME", path_.c_str(), 1);
    }
    ~TempHome() {
        if (previous_)
            ::setenv("TESSARINE_HOME", previous_->c_str(), 1);
        else
            ::unsetenv("TESSARINE_HOME");
        std::error_code ignored;
        std::filesystem::permissions(keychainDir(), std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path keychainDir() const { return path_ / "keychain"; }

    // Regular files in the keychain directory.
    std::size_t itemCount() const {
        std::size_t n = 0;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(keychainDir(), ec))
            n += entry.is_regular_file() ? 1 : 0;
        return n;
    }

private:
    std::filesystem::path path_;
    std::optional<std::string> previous_;
};

} // namespace tessarine::testing
