#pragma once
// Fixtures the crash service's tests share.
#include <cstdio>
#include <memory>
#include <string>

#include "BCUtility.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"
#include "support/TestSupport.h"

// Inside a forked child: a failed check is written to stderr (the parent
// shows the child's output) and counted in the body's `failures`.
#define CHILD_EXPECT(condition)                                                     \
    do {                                                                            \
        if (!(condition)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                             \
        }                                                                           \
    } while (0)

namespace crashestest {

using modeltest::Renamed;

// A model archived with one extra field that overrides a real one, to
// damage its type.
template <typename T>
class Damaged : public T {
public:
    Damaged(std::string key, platform::Value value) : key_(std::move(key)), value_(std::move(value)) {}
    std::string className() const override { return T().className(); }
    void encodeWithCoder(platform::KeyedArchiver &coder) const override {
        T::encodeWithCoder(coder);
        coder.encodeObject(value_, key_);
    }

private:
    std::string key_;
    platform::Value value_;
};

// A private SDK directory (and home) for one test.
class SdkDirectory {
public:
    SdkDirectory() { BCUtility::setBeaconDirectoryURLForTesting(home_.path() / "sdk"); }
    ~SdkDirectory() { BCUtility::setBeaconDirectoryURLForTesting({}); }
    std::filesystem::path path() const { return home_.path() / "sdk"; }

private:
    modeltest::SdkHome home_;
};

// Archives the value and reads it back with the crash service's classes and
// their old names registered.
platform::Value roundTrip(const platform::Value &value);

}  // namespace crashestest
