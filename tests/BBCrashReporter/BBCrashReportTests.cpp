// The report reader against bodies that our writer did not make: each is
// encoded by protoc from the text format and the schema file, so a mistake
// shared by the writer and the reader cannot hide here.
#include "BBCrashReport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

// A report file: the header, then the body protoc encodes from `text`.
platform::Data encodeReport(const std::string &text) {
    testsupport::TemporaryDirectory dir("bbcrash-encode");
    const auto input = dir.path() / "report.txt";
    const auto output = dir.path() / "report.bin";
    std::ofstream(input) << text;
    std::filesystem::path proto(BBCRASH_PROTO_PATH);
    int status = -1;
    testsupport::runCommand("protoc --encode=bbcrash.CrashReport -I " + proto.parent_path().string() + " " +
                                proto.filename().string() + " < " + input.string() + " > " + output.string(),
                            &status);
    EXPECT_EQ(status, 0) << text;
    std::ifstream in(output, std::ios::binary);
    platform::Data data{'b', 'b', 'c', 'r', 'a', 's', 'h', 1};
    data.insert(data.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return data;
}

const char *const kSystem = "system_info { os_version: \"6.1\" architecture: X86_64 timestamp: 1700000000 }\n";
const char *const kApplication = "application_info { identifier: \"io.plotwick\" version: \"7\" }\n";
const char *const kSignal = "signal { name: \"SIGSEGV\" code: \"SEGV_MAPERR\" address: 16 }\n";

std::string minimal(const std::string &extra = "") { return std::string(kSystem) + kApplication + kSignal + extra; }

std::string failureText(const platform::Data &data) {
    platform::ErrorPtr error;
    auto report = BBCrashReport::make(data, &error);
    if (report != nullptr) {
        return "";
    }
    EXPECT_NE(error, nullptr);
    if (error == nullptr) {
        return "(no error)";
    }
    EXPECT_EQ(error->domain(), "BBCrashReporterErrorDomain");
    EXPECT_EQ(error->code(), 2);
    return error->localizedDescription();
}

TEST(BBCrashReportTests, HeaderChecksComeFirst) {
    EXPECT_EQ(failureText({'b', 'b', 'c', 'r', 'a', 's', 'h', 1}), "Could not decode truncated crash log");
    auto good = encodeReport(minimal());
    auto badMagic = good;
    badMagic[0] = 'B';
    EXPECT_EQ(failureText(badMagic), "Could not decode invalid crash log header");
    auto badVersion = good;
    badVersion[7] = 2;
    EXPECT_EQ(failureText(badVersion), "Could not decode unsupported crash report version: 2");
    EXPECT_EQ(failureText(good), "");
}

TEST(BBCrashReportTests, MinimalReportReadsWithDefaults) {
    platform::ErrorPtr error;
    auto report = BBCrashReport::make(encodeReport(minimal()), &error);
    ASSERT_NE(report, nullptr) << error->localizedDescription();
    EXPECT_FALSE(report->hasMachineInfo());
    EXPECT_FALSE(report->hasProcessInfo());
    EXPECT_FALSE(report->hasExceptionInfo());
    EXPECT_FALSE(report->uuidRef().has_value());
    EXPECT_EQ(report->systemInfo()->operatingSystem(), BBCrashReportOperatingSystemUnknown);
    EXPECT_EQ(report->systemInfo()->processorInfo()->type(), 0x01000007u);
    EXPECT_EQ(report->systemInfo()->processorInfo()->subtype(), 3u);
    EXPECT_EQ(report->applicationInfo()->applicationMarketingVersion(), std::nullopt);
    EXPECT_EQ(report->signalInfo()->address(), 16u);
    EXPECT_EQ(report->machExceptionInfo(), nullptr);
}

TEST(BBCrashReportTests, BrokenInputsFailWithTheirMessages) {
    // A required field missing anywhere fails the decode itself.
    EXPECT_EQ(failureText(encodeReport(std::string(kSystem) + kApplication)),
              "An unknown error occured decoding the crash report");
    EXPECT_EQ(failureText(encodeReport(minimal("threads { thread_number: 0 }\n"))),
              "An unknown error occured decoding the crash report");

    EXPECT_EQ(failureText(encodeReport(minimal("report_info { user_requested: false uuid: \"0123456789abcde\" }"))),
              "Report UUID value is not a standard 16 bytes");

    std::string codes;
    for (int i = 0; i < 256; ++i) {
        codes += " codes: " + std::to_string(i);
    }
    std::string tooMany = std::string(kSystem) + kApplication +
                          "signal { name: \"SIGSEGV\" code: \"#0\" address: 0 mach_exception { type: 1" + codes +
                          " } }";
    EXPECT_EQ(failureText(encodeReport(tooMany)), "Crash report includes too many Mach Exception codes");

    std::string unknownArch = std::string(
                                  "system_info { os_version: \"1\" architecture: ARCHITECTURE_UNKNOWN "
                                  "timestamp: 0 }") +
                              kApplication + kSignal;
    EXPECT_EQ(failureText(encodeReport(unknownArch)), "Crash report has an unknown architecture");
}

TEST(BBCrashReportTests, EveryTruncationIsRejectedOrReadWithoutCrashing) {
    std::string frames;
    for (int i = 0; i < 4; ++i) {
        frames += "frames { pc: " + std::to_string(0x401000 + i) + " symbol { name: \"f\" start_address: 1 } } ";
    }
    auto full =
        encodeReport(minimal("machine_info { processor { type: 16777223 subtype: 3 } processor_count: 4 "
                             "logical_processor_count: 8 }\n"
                             "threads { thread_number: 0 crashed: true " +
                             frames +
                             " registers { name: \"rip\" value: 1 } }\n"
                             "binary_images { base_address: 4096 size: 8192 name: \"/bin/x\" uuid: "
                             "\"0123456789abcdef\" }\n"
                             "exception { name: \"E\" reason: \"R\" " +
                             frames + "}\ncustom_data: \"xyz\"\n"));
    ASSERT_NE(BBCrashReport::make(full), nullptr);
    size_t accepted = 0;
    for (size_t length = 0; length < full.size(); ++length) {
        platform::Data cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        platform::ErrorPtr error;
        auto report = BBCrashReport::make(cut, &error);
        if (report != nullptr) {
            ++accepted;  // a cut between top-level fields can still hold every required one
            EXPECT_NE(report->signalInfo(), nullptr);
        } else {
            EXPECT_NE(error, nullptr);
        }
    }
    EXPECT_LT(accepted, full.size() / 2);
}

TEST(BBCrashReportTests, InvalidUTF8TextReadsAsAbsent) {
    auto data = encodeReport(std::string("system_info { os_version: \"\\377\" architecture: X86_64 timestamp: 1 }") +
                             "application_info { identifier: \"ok\" version: \"\\300\\200\" marketing_version: "
                             "\"caf\\303\\251\" }\n"
                             "signal { name: \"\\355\\240\\200\" code: \"x\" address: 0 }\n"
                             "binary_images { base_address: 0 size: 1 name: \"/lib/\\376\" }\n"
                             "threads { thread_number: 0 crashed: true registers { name: \"\\377\" value: 1 } "
                             "frames { pc: 5 symbol { name: \"\\377\" start_address: 4 } } }\n");
    platform::ErrorPtr error;
    auto report = BBCrashReport::make(data, &error);
    ASSERT_NE(report, nullptr) << error->localizedDescription();
    EXPECT_EQ(report->systemInfo()->operatingSystemVersion(), std::nullopt);
    EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), "ok");
    EXPECT_EQ(report->applicationInfo()->applicationVersion(), std::nullopt);  // overlong form
    EXPECT_EQ(report->applicationInfo()->applicationMarketingVersion(), "caf\u00e9");
    EXPECT_EQ(report->signalInfo()->name(), std::nullopt);  // a surrogate
    EXPECT_EQ(report->images()[0]->imageName(), std::nullopt);
    EXPECT_EQ(report->threads()[0]->registers()[0]->registerName(), std::nullopt);
    EXPECT_EQ(report->threads()[0]->stackFrames()[0]->symbolInfo()->symbolName(), std::nullopt);
}

TEST(BBCrashReportTests, ImagesAndFrames) {
    auto data = encodeReport(minimal(
        "machine_info { processor { encoding: TYPE_ENCODING_MACH type: 16777228 subtype: 2 } processor_count: 1 "
        "logical_processor_count: 1 }\n"
        "binary_images { base_address: 4096 size: 4096 name: \"a\" uuid: \"\\001\\002\\003\\004\\005\\006\\007\\010"
        "\\011\\012\\013\\014\\015\\016\\017\\377\" }\n"
        "binary_images { base_address: 8192 size: 4096 name: \"b\" }\n"
        "binary_images { base_address: 18446744073709547520 size: 8192 name: \"wraps\" }\n"
        "threads { thread_number: 3 crashed: false frames { pc: 0xFFFFFF8123456789 } }\n"
        "exception { name: \"N\" reason: \"\" }\n"));
    platform::ErrorPtr error;
    auto report = BBCrashReport::make(data, &error);
    ASSERT_NE(report, nullptr) << error->localizedDescription();

    EXPECT_EQ(report->images()[0]->imageUUID(), "0102030405060708090a0b0c0d0e0fff");
    EXPECT_TRUE(report->images()[0]->hasImageUUID());
    EXPECT_FALSE(report->images()[1]->hasImageUUID());
    EXPECT_EQ(report->images()[1]->codeType(), nullptr);

    EXPECT_EQ(report->imageForAddress(4096)->imageName(), "a");
    EXPECT_EQ(report->imageForAddress(8191)->imageName(), "a");
    EXPECT_EQ(report->imageForAddress(8192)->imageName(), "b");  // the end of "a" is not "a"
    EXPECT_EQ(report->imageForAddress(12288), nullptr);
    EXPECT_EQ(report->imageForAddress(0x10), nullptr);  // base + size of "wraps" wraps past 0
    EXPECT_EQ(report->imageForAddress(0xFFFFFFFFFFFFF800)->imageName(), "wraps");

    // arm64e: pointer-authentication bits above bit 35 are cleared.
    EXPECT_EQ(report->threads()[0]->stackFrames()[0]->instructionPointer(), 0x123456789u);
    EXPECT_EQ(report->threads()[0]->threadNumber(), 3);
    // An exception without frames has none (not an empty list).
    EXPECT_FALSE(report->exceptionInfo()->stackFrames().has_value());
    EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "");

    // Symbol names, many and long (one longer than all the others together),
    // on threads' and the exception's stacks, read whole; a frame kept
    // after its report still has them.
    auto name = [](int i) { return "symbol_" + std::to_string(i) + "_" + std::string(100 + i % 7, 'a' + i % 26); };
    const std::string longName(40000, 'L');
    std::string stacks = "threads { thread_number: 1 crashed: true frames { pc: 1 symbol { name: \"" + longName +
                         "\" start_address: 1 } } frames { pc: 2 symbol { name: \"\" start_address: 2 } } }\n";
    for (int t = 0; t < 3; ++t) {
        stacks += "threads { thread_number: " + std::to_string(t + 2) + " crashed: false ";
        for (int i = t * 200; i < (t + 1) * 200; ++i) {
            stacks += "frames { pc: " + std::to_string(i) + " symbol { name: \"" + name(i) +
                      "\" start_address: " + std::to_string(i) + " end_address: 7 } } ";
        }
        stacks += "}\n";
    }
    stacks += "exception { name: \"N\" reason: \"R\" frames { pc: 9 symbol { name: \"" + name(9999) +
              "\" start_address: 9 } } frames { pc: 10 } }\n";
    auto named = BBCrashReport::make(encodeReport(minimal(stacks)), &error);
    ASSERT_NE(named, nullptr) << error->localizedDescription();
    ASSERT_EQ(named->threads().size(), 4u);
    EXPECT_EQ(named->threads()[0]->stackFrames()[0]->symbolInfo()->symbolName(), longName);
    EXPECT_EQ(named->threads()[0]->stackFrames()[1]->symbolInfo()->symbolName(), "");
    for (int t = 0; t < 3; ++t) {
        const auto &frames = named->threads()[t + 1]->stackFrames();
        ASSERT_EQ(frames.size(), 200u);
        for (int i = 0; i < 200; ++i) {
            const auto &symbol = frames[i]->symbolInfo();
            ASSERT_NE(symbol, nullptr);
            EXPECT_EQ(symbol->symbolName(), name(t * 200 + i));
            EXPECT_EQ(symbol->startAddress(), uint64_t(t * 200 + i));
            EXPECT_EQ(symbol->endAddress(), 7u);
        }
    }
    const auto exceptionFrames = *named->exceptionInfo()->stackFrames();
    const auto kept = named->threads()[3]->stackFrames()[199];
    named.reset();
    EXPECT_EQ(exceptionFrames[0]->symbolInfo()->symbolName(), name(9999));
    EXPECT_EQ(exceptionFrames[1]->symbolInfo(), nullptr);
    EXPECT_EQ(kept->symbolInfo()->symbolName(), name(599));
}

TEST(BBCrashReportTests, ADenseReportWithinTheSizeLimitIsReadWithinTheWritersLimits) {
    // As many threads and frames as fit in the size limit: read whole, they
    // would make the error log and its archive hundreds of times the file.
    std::string threads;
    for (int i = 0; i < 20000; ++i) threads += "threads { thread_number: 1 crashed: false frames { pc: 1 } }\n";
    std::string deep = "threads { thread_number: 7 crashed: true ";
    for (int i = 0; i < 3000; ++i) deep += "frames { pc: 2 } ";
    deep += "}\n";
    std::string images;
    for (int i = 0; i < 6000; ++i) images += "binary_images { base_address: 1 size: 1 name: \"\" }\n";
    const auto data = encodeReport(minimal(threads + deep + images));
    ASSERT_LE(data.size(), 262144u);
    platform::ErrorPtr error;
    auto report = BBCrashReport::make(data, &error);
    ASSERT_NE(report, nullptr) << error->localizedDescription();

    // At most the writer's thread count, with the crashed thread (last in
    // the file) kept with a whole writer's stack.
    ASSERT_EQ(report->threads().size(), 1024u);
    const auto &crashed = report->threads().back();
    EXPECT_TRUE(crashed->crashed());
    EXPECT_EQ(crashed->threadNumber(), 7);
    EXPECT_EQ(crashed->stackFrames().size(), 512u);
    size_t frames = 0;
    for (const auto &thread : report->threads()) frames += thread->stackFrames().size();
    EXPECT_LE(frames, 4096u);
    EXPECT_EQ(report->images().size(), 4096u);
}

}  // namespace
