#pragma once
// Shared fixtures of the model, context and encrypter tests.
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "BCDevice.h"
#include "BCLogger.h"
#include "platform/foundation/Value.h"
#include "platform/security/Keychain.h"
#include "support/TestSupport.h"

namespace modeltest {

// Collects every line the SDK logger is given, at any level. The lines live
// in state the handler shares: a thread of the SDK that took the handler just
// before the capture ended may still call it afterwards.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::pair<BCLogLevel, std::string>> lines();
    // Whether some line at the level is exactly the text.
    bool contains(BCLogLevel level, const std::string &text);
    void clear();

private:
    struct State {
        std::mutex mutex;
        std::vector<std::pair<BCLogLevel, std::string>> lines;
    };
    const std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A private home for one test: user defaults, keychain and the SDK's
// singletons all start empty and point into a temporary folder.
class SdkHome {
public:
    SdkHome();
    ~SdkHome();
    // Drops every singleton, so the next use reads the stored state afresh,
    // as the next launch would.
    void relaunch();
    const std::filesystem::path &path() const { return home_.path(); }
    std::filesystem::path keychainDirectory() const { return home_.path() / "keychain"; }

private:
    static void resetSingletons();
    testsupport::TemporaryHome home_;
};

// A model object archived under another class name, as older versions
// wrote it.
template <typename T>
class Renamed : public T {
public:
    explicit Renamed(std::string name) : name_(std::move(name)) {}
    std::string className() const override { return name_; }

private:
    std::string name_;
};

// A device with every required field (and some optional ones).
std::shared_ptr<BCDevice> validDevice();

// The compact JSON text, so that comparisons see the key order.
inline std::string text(const nlohmann::ordered_json &json) { return json.dump(); }
inline std::string text(const char *json) { return nlohmann::ordered_json::parse(json).dump(); }

// Archives the value and reads it back through the SDK's archiving.
platform::Value roundTrip(const platform::Value &value);

}  // namespace modeltest
