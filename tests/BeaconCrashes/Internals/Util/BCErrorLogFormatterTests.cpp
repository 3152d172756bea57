// The formatter against golden files: report files encoded with protoc from
// hand-written .textproto cases, and crash-log JSON written by hand from the
// formatter's rules (tests/golden). Key order counts. The formatter gets
// everything beyond the report from its caller, so these tests pass it in.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "BBCrashReport.h"
#include "BCAppleErrorLog.h"
#include "BCBeacon.h"
#include "BCDevice.h"
#include "BCDeviceTracker.h"
#include "BCErrorLogFormatter.h"
#include "BCErrorReport.h"
#include "BCException.h"
#include "BCLogger.h"
#include "BCStackFrame.h"
#include "BCWrapperException.h"
#include "BCWrapperExceptionManager.h"
#include "BeaconCrashes/CrashesTestSupport.h"
#include "BCUtility.h"
#include "platform/foundation/Path.h"

namespace {

const std::string kGolden = PLOTWICK_GOLDEN_DIR;
const std::string kSelectorImagePath = "/Applications/Plotwick.app/Contents/Frameworks/libselectors.dylib";

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::shared_ptr<BBCrashReport> loadCase(const std::string &name) {
    const std::string bytes = readFile(kGolden + "/cases/" + name + ".bbcrash");
    platform::ErrorPtr error;
    auto report = BBCrashReport::make(platform::Data(bytes.begin(), bytes.end()), &error);
    EXPECT_TRUE(report) << name << ": " << (error ? error->localizedDescription() : "");
    return report;
}

std::shared_ptr<BCDevice> deviceFor(const BBCrashReport &report) {
    return BCDeviceTracker::sharedInstance()->deviceForTimestamp(BCErrorLogFormatter::errorTimeForCrashReport(report));
}

// The log of a report with its device, no wrapper exception and the given
// loaded images.
std::shared_ptr<BCAppleErrorLog> format(const BBCrashReport &report,
                                        const BCErrorLogFormatter::LoadedImages &images = {}) {
    return BCErrorLogFormatter::errorLogFromCrashReport(report, deviceFor(report), nullptr, images);
}

// Lines the formatter logs at warning level or above, as "<level> <text>".
class LogCapture {
public:
    LogCapture() {
        previous_ = BCLogger::logHandler();
        BCLogger::setLogHandler([this](const BCLogMessageProvider &message, BCLogLevel level, const std::string &tag,
                                       const char *, const char *, uint32_t) {
            if (level < BCLogLevelWarning || tag != "BeaconCrashes") return;
            std::lock_guard<std::mutex> lock(mutex_);
            lines_ += std::to_string(level) + " " + message() + "\n";
        });
    }
    ~LogCapture() { BCLogger::setLogHandler(previous_); }
    std::string lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    BCLogHandler previous_;
    std::mutex mutex_;
    std::string lines_;
};

// The selector image, in this process's memory for as long as the object
// lives. The copy is 8-byte aligned, as a mapped image would be.
class LoadedSelectorImage {
public:
    explicit LoadedSelectorImage(bool damageUUID = false) {
        const std::string bytes = readFile(kGolden + "/macho/libselectors-arm64.dylib");
        buffer_.resize((bytes.size() + 7) / 8);
        std::memcpy(buffer_.data(), bytes.data(), bytes.size());
        if (damageUUID) flipUUIDByte();
    }
    // The list of loaded images that holds it. __TEXT is linked at 0, so the
    // slide is the buffer's address.
    BCErrorLogFormatter::LoadedImages images() const {
        return {{buffer_.data(), kSelectorImagePath.c_str(), reinterpret_cast<intptr_t>(buffer_.data())}};
    }

private:
    void flipUUIDByte() {
        auto *bytes = reinterpret_cast<uint8_t *>(buffer_.data());
        uint32_t ncmds;
        std::memcpy(&ncmds, bytes + 16, 4);
        size_t at = 32;
        for (uint32_t i = 0; i < ncmds; ++i) {
            uint32_t cmd, size;
            std::memcpy(&cmd, bytes + at, 4);
            std::memcpy(&size, bytes + at + 4, 4);
            if (cmd == 27) bytes[at + 8] ^= 0xff;
            at += size;
        }
    }
    std::vector<uint64_t> buffer_;
};

class BCErrorLogFormatterGoldenTests : public ::testing::TestWithParam<std::string> {
protected:
    crashestest::SdkDirectory sdk_;
};

TEST_P(BCErrorLogFormatterGoldenTests, CrashLogMatchesTheHandWrittenJson) {
    const std::string name = GetParam();
    auto report = loadCase(name);
    ASSERT_TRUE(report);
    LoadedSelectorImage image;
    const auto images = name == "arm64e_selector" ? image.images() : BCErrorLogFormatter::LoadedImages{};
    LogCapture capture;

    const auto device = deviceFor(*report);
    auto log = BCErrorLogFormatter::errorLogFromCrashReport(*report, device, nullptr, images);
    nlohmann::ordered_json actual = log->serializeToDictionary();
    nlohmann::ordered_json expected = nlohmann::ordered_json::parse(readFile(kGolden + "/expected/" + name + ".json"));

    // The device is the one passed in (the tracker's is tested on its own),
    // then a placeholder.
    EXPECT_EQ(log->device(), device);
    ASSERT_TRUE(actual.contains("device"));
    actual["device"] = "DEVICE";
    // A report without a UUID gets a random one.
    if (expected["id"] == "RANDOM-UUID") {
        ASSERT_TRUE(platform::UUID::fromString(actual["id"].get<std::string>())) << actual["id"];
        actual["id"] = "RANDOM-UUID";
    }
    EXPECT_EQ(actual.dump(2), expected.dump(2));
    EXPECT_EQ(capture.lines(), readFile(kGolden + "/expected/" + name + ".log"));
}

INSTANTIATE_TEST_SUITE_P(Cases, BCErrorLogFormatterGoldenTests,
                         ::testing::Values("full_x86_64", "no_process_no_crashed_thread", "uncaught_exception",
                                           "exception_without_frames", "code_type_32bit", "symbols_os0",
                                           "timestamp_zero", "timestamp_2100", "image_edges", "arm64e_selector",
                                           "hostile_strings", "frameless_thread"));

std::vector<std::string> frameCodes(const BCAppleErrorLog &log) {
    std::vector<std::string> codes;
    for (const auto &frame : *log.threads->at(0)->frames) codes.push_back(frame->code.value_or("-"));
    return codes;
}

TEST(BCErrorLogFormatterTests, SymbolPrefixOnUnknownSystemsIsKeptWithAWarningOnlyForValue3) {
    crashestest::SdkDirectory sdk;
    const std::vector<std::string> kept = {"_objc_msgSend + 16", "_ + 32", "_start + -8", "0x100000000 + 16"};
    {
        LogCapture capture;
        auto log = format(*loadCase("symbols_os3"));
        EXPECT_EQ(frameCodes(*log), kept);
        EXPECT_EQ(capture.lines(),
                  "5 Symbol \"_objc_msgSend\" prefix rules are unknown for this OS!\n"
                  "5 Symbol \"_start\" prefix rules are unknown for this OS!\n");
    }
    {
        LogCapture capture;
        auto log = format(*loadCase("symbols_os7"));
        EXPECT_EQ(frameCodes(*log), kept);
        EXPECT_EQ(capture.lines(), "");
    }
}

TEST(BCErrorLogFormatterTests, WrapperExceptionPassedInBecomesTheLogsException) {
    crashestest::SdkDirectory sdk;
    auto report = loadCase("uncaught_exception");
    auto wrapper = std::make_shared<BCWrapperException>();
    wrapper->modelException = std::make_shared<BCException>();
    wrapper->modelException->type = "System.NullReferenceException";
    wrapper->modelException->message = "Object reference not set";
    wrapper->processId = 77;
    const std::string uuid = "01020304-0506-4708-890A-0B0C0D0E0F10";
    BCWrapperExceptionManager::saveWrapperException(wrapper, uuid);

    // The formatter reads no saved file: only what it is given.
    EXPECT_FALSE(format(*report)->exception);
    auto log = BCErrorLogFormatter::errorLogFromCrashReport(*report, deviceFor(*report), wrapper, {});
    ASSERT_TRUE(log->exception);
    EXPECT_EQ(log->serializeToDictionary()["exception"].dump(),
              R"({"type":"System.NullReferenceException","message":"Object reference not set"})");
    // The crashed thread keeps the exception of the report itself.
    EXPECT_EQ(log->threads->at(1)->exception->type, "std::runtime_error");
    BCWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(uuid);
}

TEST(BCErrorLogFormatterTests, SelectorNeedsTheSameImageLoadedHere) {
    crashestest::SdkDirectory sdk;
    auto report = loadCase("arm64e_selector");
    // Not loaded, loaded under another UUID, loaded under another path.
    EXPECT_FALSE(format(*report)->selectorRegisterValue);
    {
        LoadedSelectorImage image(/*damageUUID=*/true);
        EXPECT_FALSE(format(*report, image.images())->selectorRegisterValue);
    }
    {
        LoadedSelectorImage image;
        auto other = image.images();
        other[0].name = "/Applications/Plotwick.app/Contents/Frameworks/libother.dylib";
        EXPECT_FALSE(format(*report, other)->selectorRegisterValue);
    }
    {
        LoadedSelectorImage image;
        const auto images = image.images();
        auto crashed = BCErrorLogFormatter::findCrashedThreadInReport(*report);
        EXPECT_EQ(BCErrorLogFormatter::selectorForRegisterWithName("x1", crashed, *report, images), "drawRect:");
        // x0 points at no image of the report.
        EXPECT_FALSE(BCErrorLogFormatter::selectorForRegisterWithName("x0", crashed, *report, images));
        EXPECT_FALSE(BCErrorLogFormatter::selectorForRegisterWithName("x9", crashed, *report, images));
    }
}

// --- Synthetic Mach-O images for the bounds of the selector read. ---

// A 64-bit header, an optional LC_UUID and one LC_SEGMENT_64 "__TEXT" with
// one section "__objc_methname" holding `names` at link address `sectAddr`.
struct SyntheticImage {
    std::vector<uint64_t> words;
    uint8_t *bytes() { return reinterpret_cast<uint8_t *>(words.data()); }

    static SyntheticImage make(const std::string &names, std::optional<uint32_t> uuidCmdsize = std::nullopt) {
        SyntheticImage image;
        image.words.resize(128);
        uint8_t *b = image.bytes();
        auto put32 = [&](size_t at, uint32_t v) { std::memcpy(b + at, &v, 4); };
        auto put64 = [&](size_t at, uint64_t v) { std::memcpy(b + at, &v, 8); };
        put32(0, 0xfeedfacf);
        put32(16, 2);             // ncmds
        put32(20, 24 + 72 + 80);  // sizeofcmds
        size_t at = 32;
        put32(at, 27);
        put32(at + 4, uuidCmdsize.value_or(24));
        std::memset(b + at + 8, 0xab, 16);
        at += 24;
        put32(at, 0x19);
        put32(at + 4, 72 + 80);
        std::memcpy(b + at + 8, "__TEXT", 6);
        put32(at + 64, 1);  // nsects
        at += 72;
        std::memcpy(b + at, "__objc_methname", 15);
        std::memcpy(b + at + 16, "__TEXT", 6);
        put64(at + 32, 0x300);
        put64(at + 40, names.size());
        std::memcpy(b + 0x300, names.data(), names.size());
        return image;
    }
};

TEST(BCErrorLogFormatterTests, SelectorReadStaysInsideTheSectionAndTheLoadCommands) {
    crashestest::SdkDirectory sdk;
    auto report = loadCase("selector_bounds");
    ASSERT_TRUE(report);
    const auto crashed = BCErrorLogFormatter::findCrashedThreadInReport(*report);
    const char *path = "/Applications/Plotwick.app/Contents/MacOS/Plotwick";
    auto selector = [&](SyntheticImage &image, const std::string &registerName) {
        return BCErrorLogFormatter::selectorForRegisterWithName(
            registerName, crashed, *report, {{image.bytes(), path, reinterpret_cast<intptr_t>(image.bytes())}});
    };
    // "a:", then an empty name, then "bc" without a terminator before the
    // section's end.
    auto image = SyntheticImage::make(std::string("a:\0\0bc", 6));
    EXPECT_EQ(selector(image, "at300"), "a:");
    EXPECT_FALSE(selector(image, "at303"));  // no NUL after the address's NUL
    EXPECT_FALSE(selector(image, "at304"));  // no NUL inside the section
    EXPECT_FALSE(selector(image, "at306"));  // past the section
    EXPECT_FALSE(selector(image, "at2ff"));  // before it
    // A NUL at the address, with another after it, is the empty name.
    auto empty = SyntheticImage::make(std::string("\0\0", 2));
    EXPECT_EQ(selector(empty, "at300"), "");
    // A load command of size 0, or one longer than all the commands, ends
    // the walk (no UUID, no match) instead of looping or reading past it.
    for (uint32_t size : {0u, 4u, 0xffffffffu}) {
        auto damaged = SyntheticImage::make(std::string("a:\0", 3), size);
        EXPECT_FALSE(selector(damaged, "at300")) << size;
    }
}

TEST(BCErrorLogFormatterTests, PathRules) {
    using F = BCErrorLogFormatter;
    EXPECT_EQ(F::anonymizedPathFromPath("/Users/alice/x/Users/bob/y"), "/Users/USER/x/Users/USER/y");
    EXPECT_EQ(F::anonymizedPathFromPath("/usr/lib/libc.dylib"), "/usr/lib/libc.dylib");
    EXPECT_EQ(F::anonymizedPathFromPath("/private/Users"), "");
    EXPECT_EQ(F::anonymizedPathFromPath(""), "");

    const std::string exe = "/Applications/Plotwick.app/Contents/MacOS/Plotwick";
    EXPECT_EQ(F::imageTypeForImagePath(exe, exe), BCImageKindMainExecutable);
    EXPECT_EQ(F::imageTypeForImagePath("/Applications/Plotwick.app/Contents/MacOS/../MacOS/Plotwick", exe),
              BCImageKindMainExecutable);
    EXPECT_EQ(F::imageTypeForImagePath("/Applications/Plotwick.app/Contents/Frameworks/Ink", exe),
              BCImageKindInAppBundle);
    // An empty process path is no prefix: the image is in the bundle, not
    // the executable.
    EXPECT_EQ(F::imageTypeForImagePath("/Applications/Plotwick.app/Contents/Frameworks/Ink", ""),
              BCImageKindInAppBundle);
    EXPECT_EQ(F::imageTypeForImagePath("/A.app/Contents/Frameworks/libswiftCore.dylib", exe), BCImageKindOther);
    EXPECT_EQ(F::imageTypeForImagePath(std::nullopt, exe), BCImageKindOther);
    EXPECT_EQ(F::imageTypeForImagePath(exe, std::nullopt), BCImageKindOther);

    EXPECT_EQ(platform::path::standardizingPath("/a//b/./c/../d/"), "/a/b/d");
    EXPECT_EQ(platform::path::standardizingPath("/../a"), "/a");
    EXPECT_EQ(platform::path::standardizingPath("a/../b"), "a/../b");
    EXPECT_EQ(platform::path::standardizingPath(""), "");
    EXPECT_EQ(platform::path::lastPathComponent("/a/b/"), "b");
    EXPECT_EQ(platform::path::lastPathComponent("/"), "/");
    EXPECT_EQ(platform::path::lastPathComponent("name"), "name");
    EXPECT_EQ(platform::path::lastPathComponent(""), "");
}

TEST(BCErrorLogFormatterTests, AddressesAndTimes) {
    using F = BCErrorLogFormatter;
    EXPECT_EQ(F::formatAddress(4096, true), "0x0000000000001000");
    EXPECT_EQ(F::formatAddress(4096, false), "0x00001000");
    EXPECT_EQ(F::formatAddress(0x123456789, false), "0x123456789");
    EXPECT_TRUE(F::isCodeType64bit(0x01000007));
    EXPECT_TRUE(F::isCodeType64bit(0x0100000C));
    EXPECT_FALSE(F::isCodeType64bit(7));
    EXPECT_FALSE(F::isCodeType64bit(0x01000012));
    // A fractional crash time is kept as it is.
    auto fractional = platform::Date::fromTimeIntervalSince1970(1700000000.25);
    EXPECT_EQ(F::adjustedCrashTime(fractional), fractional);
    EXPECT_EQ(BCUtility::dateToISO8601(F::adjustedCrashTime(platform::Date::fromTimeIntervalSince1970(253402300799))),
              "9999-12-31T23:59:59.999Z");
}

TEST(BCErrorLogFormatterTests, ErrorReportCarriesTheLogsFieldsAndTheInstallIdPassedIn) {
    crashestest::SdkDirectory sdk;
    const auto installId = platform::UUID::random();
    EXPECT_EQ(BCErrorLogFormatter::errorReportFromCrashReport(nullptr, nullptr, installId), nullptr);
    auto log = format(*loadCase("uncaught_exception"));
    auto device = std::make_shared<BCDevice>();
    device->model = "given";
    auto report = BCErrorLogFormatter::errorReportFromLog(*log, installId, device);
    EXPECT_EQ(report->incidentIdentifier(), "01020304-0506-4708-890A-0B0C0D0E0F10");
    EXPECT_EQ(report->reporterKey(), installId.UUIDString());
    EXPECT_NE(report->reporterKey(), BCBeacon::installId().UUIDString());
    EXPECT_EQ(report->signal(), "SIGABRT");
    EXPECT_EQ(report->exceptionName(), "std::runtime_error");
    EXPECT_EQ(report->exceptionReason(), "boom");
    EXPECT_EQ(report->appStartTime(), platform::Date::fromTimeIntervalSince1970(1699999999));
    EXPECT_EQ(report->appErrorTime(), log->timestamp());
    EXPECT_EQ(report->appProcessIdentifier(), 77u);
    EXPECT_EQ(report->device(), device);

    // Made from the crash report without building its log: the same report.
    for (const char *name : {"uncaught_exception", "full_x86_64", "no_process_no_crashed_thread"}) {
        SCOPED_TRACE(name);
        auto crashReport = loadCase(name);
        ASSERT_TRUE(crashReport);
        auto direct = BCErrorLogFormatter::errorReportFromCrashReport(crashReport, device, installId);
        auto fromLog = BCErrorLogFormatter::errorReportFromLog(*format(*crashReport), installId, device);
        // A report without a UUID gets a new random id each time.
        if (crashReport->uuidRef()) {
            EXPECT_EQ(direct->incidentIdentifier(), fromLog->incidentIdentifier());
        }
        EXPECT_EQ(direct->reporterKey(), fromLog->reporterKey());
        EXPECT_EQ(direct->signal(), fromLog->signal());
        EXPECT_EQ(direct->exceptionName(), fromLog->exceptionName());
        EXPECT_EQ(direct->exceptionReason(), fromLog->exceptionReason());
        EXPECT_EQ(direct->appStartTime(), fromLog->appStartTime());
        EXPECT_EQ(direct->appErrorTime(), fromLog->appErrorTime());
        EXPECT_EQ(direct->appProcessIdentifier(), fromLog->appProcessIdentifier());
    }
}

}  // namespace
