#pragma once

#include "security/keychain.hpp"
#include "security/tls_identity.hpp"
#include "security/trusted_device_store.hpp"

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace tessarine::testing {

// A keychain in a fresh temporary folder that the TLS identity uses while this
// object lives, with a trusted-device store on it; everything goes afterwards.
class TemporaryKeychain {
public:
    TemporaryKeychain() {
        char pattern[] = "/tmp/tessarine-test-XXXXXX";
        home_ = mkdtemp(pattern);
        keychain_ = std::make_shared<Keychain>(home_ / "keychain");
        TLSIdentity::useKeychainForTesting(keychain_);
        TLSIdentity::resetCacheForTesting();
        store_ = std::make_shared<TrustedDeviceStore>(keychain_);
    }
    ~TemporaryKeychain() {
        TLSIdentity::useKeychainForTesting(nullptr);
        TLSIdentity::resetCacheForTesting();
        std::filesystem::remove_all(home_);
    }
    TemporaryKeychain(const TemporaryKeychain&) = delete;
    TemporaryKeychain& operator=(const TemporaryKeychain&) = delete;

    // The folder holding the keychain; free for other files of the test.
    const std::filesystem::path& home() const { return home_; }
    const std::shared_ptr<TrustedDeviceStore>& store() const { return store_; }

private:
    std::filesystem::path home_;
    std::shared_ptr<Keychain> keychain_;
    std::shared_ptr<TrustedDeviceStore> store_;
};

} // namespace tessarine::testing
