// The crash-time log buffer: slot choice, exclusions, the files written at
// crash time (in a child that really crashes) and the re-enqueueing at the
// next start. Slots are process-wide, so each test sets the buffer up anew.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>

#include <sys/stat.h>

#include "BBCrashReporter.h"
#include "BCAppleErrorLog.h"
#include "BCCrashesLogBuffer.h"
#include "BCEncrypter.h"
#include "BCErrorAttachmentLog.h"
#include "BCStartServiceLog.h"
#include "BCUtility.h"
#include "BeaconCrashes/CrashesTestSupport.h"
#include "BeaconCrashes/FakeChannel.h"
#include "support/ForkedChild.h"

namespace {

std::string fileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::shared_ptr<BCStartServiceLog> startLog(const std::string &service,
                                            const std::optional<std::string> &token = std::nullopt) {
    auto log = std::make_shared<BCStartServiceLog>();
    log->setServices(std::vector<std::string>{service});
    if (token) log->addTransmissionTargetToken(*token);
    return log;
}

mode_t modeOf(const std::filesystem::path &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::string serviceOf(const std::shared_ptr<BCAbstractLog> &log) {
    auto start = std::dynamic_pointer_cast<BCStartServiceLog>(log);
    return start && start->services() && !start->services()->empty() ? start->services()->front() : "?";
}

class BCCrashesLogBufferTests : public ::testing::Test {
protected:
    void SetUp() override { BCCrashesLogBuffer::setupLogBuffer(nullptr, nullptr); }
    std::filesystem::path bufferDir() const { return sdk_.path() / "crasheslogbuffer"; }

    crashestest::SdkDirectory sdk_;
    BCEncrypter encrypter_;
};

TEST_F(BCCrashesLogBufferTests, SetupCreatesOneEmptyFilePerSlotAndKeepsExistingContent) {
    // Sixty slots, each a private file whatever the umask.
    ASSERT_EQ(BCCrashesLogBuffer::kSlotCount, 60u);
    ASSERT_EQ(BCCrashesLogBuffer::slots().size(), 60u);
    std::filesystem::remove_all(bufferDir());
    const mode_t previous = umask(022);
    BCCrashesLogBuffer::setupLogBuffer(nullptr, nullptr);
    umask(previous);
    EXPECT_EQ(modeOf(bufferDir()), 0700u);
    for (size_t i = 0; i < BCCrashesLogBuffer::kSlotCount; ++i) {
        const auto path = bufferDir() / (std::to_string(i) + ".bccrasheslogbuffer");
        ASSERT_TRUE(std::filesystem::is_regular_file(path)) << path;
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
        EXPECT_EQ(modeOf(path), 0600u) << path;
    }
    EXPECT_FALSE(std::filesystem::exists(bufferDir() / "60.bccrasheslogbuffer"));
    std::ofstream(bufferDir() / "7.bccrasheslogbuffer") << "kept";
    BCCrashesLogBuffer::setupLogBuffer(nullptr, nullptr);
    EXPECT_EQ(fileText(bufferDir() / "7.bccrasheslogbuffer"), "kept");
    EXPECT_EQ(BCCrashesLogBuffer::slots()[7].bufferPath, (bufferDir() / "7.bccrasheslogbuffer").string());
    EXPECT_EQ(BCCrashesLogBuffer::slots()[7].targetTokenPath, (bufferDir() / "7.targettoken").string());

    // The folder replaced by a link to somebody else's folder: the link is
    // set aside with a line and a private folder made; nothing behind it is
    // changed or made.
    modeltest::LogCapture capture;
    const auto other = sdk_.path() / "other";
    std::filesystem::create_directories(other);
    std::ofstream(other / "7.bccrasheslogbuffer") << "theirs";
    std::filesystem::permissions(other / "7.bccrasheslogbuffer", std::filesystem::perms(0644));
    std::filesystem::remove_all(bufferDir());
    std::filesystem::create_directory_symlink(other, bufferDir());
    BCCrashesLogBuffer::setupLogBuffer(nullptr, nullptr);
    EXPECT_TRUE(std::filesystem::is_directory(bufferDir()) && !std::filesystem::is_symlink(bufferDir()));
    EXPECT_EQ(modeOf(bufferDir()), 0700u);
    EXPECT_TRUE(std::filesystem::is_regular_file(bufferDir() / "59.bccrasheslogbuffer"));
    EXPECT_EQ(std::filesystem::read_symlink(sdk_.path() / "crasheslogbuffer.notours"), other);
    EXPECT_TRUE(capture.contains(BCLogLevelAssert,
                                 "crasheslogbuffer in the SDK folder is not a folder of ours (a link or another file); "
                                 "it is set aside as crasheslogbuffer.notours and a private folder is made in its "
                                 "place."));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(other), std::filesystem::directory_iterator()), 1);
    EXPECT_EQ(fileText(other / "7.bccrasheslogbuffer"), "theirs");
    EXPECT_EQ(modeOf(other / "7.bccrasheslogbuffer"), 0644u);
}

TEST_F(BCCrashesLogBufferTests, TheSixtyFirstLogReplacesTheOldestSlotAndTakesItsTokenOver) {
    BCCrashesLogBuffer::didPrepareLog(startLog("first", "first-token"), "id-0", true, encrypter_);
    for (size_t i = 1; i < BCCrashesLogBuffer::kSlotCount; ++i) {
        BCCrashesLogBuffer::didPrepareLog(startLog("s" + std::to_string(i)), "id-" + std::to_string(i), true,
                                          encrypter_);
    }
    auto slots = BCCrashesLogBuffer::slots();
    for (const auto &slot : slots) ASSERT_FALSE(slot.buffer.empty());
    EXPECT_EQ(encrypter_.decryptString(slots[0].targetToken), "first-token");

    // Slot 0 is the oldest (or ties with others and has the lowest index).
    BCCrashesLogBuffer::didPrepareLog(startLog("sixty-first"), "id-60", true, encrypter_);
    slots = BCCrashesLogBuffer::slots();
    EXPECT_EQ(slots[0].internalId, "id-60");
    EXPECT_EQ(slots[0].targetToken, "");
    EXPECT_EQ(serviceOf(BCUtility::unarchiveKeyedData(slots[0].buffer).objectAs<BCAbstractLog>()), "sixty-first");
    EXPECT_EQ(slots[1].internalId, "id-1");

    // A freed slot is taken before any occupied one.
    BCCrashesLogBuffer::didCompleteEnqueueingLog(nullptr, "id-33");
    BCCrashesLogBuffer::didPrepareLog(startLog("late", "late-token"), "id-61", true, encrypter_);
    slots = BCCrashesLogBuffer::slots();
    EXPECT_EQ(slots[33].internalId, "id-61");
    EXPECT_EQ(encrypter_.decryptString(slots[33].targetToken), "late-token");
}

TEST_F(BCCrashesLogBufferTests, CrashAndAttachmentLogsNilLogsAndADisabledServiceAreNotBuffered) {
    BCCrashesLogBuffer::didPrepareLog(std::make_shared<BCAppleErrorLog>(), "crash", true, encrypter_);
    BCCrashesLogBuffer::didPrepareLog(std::make_shared<BCErrorAttachmentLog>(), "attachment", true, encrypter_);
    BCCrashesLogBuffer::didPrepareLog(nullptr, "nil", true, encrypter_);
    BCCrashesLogBuffer::didPrepareLog(startLog("off"), "off", false, encrypter_);
    for (const auto &slot : BCCrashesLogBuffer::slots()) EXPECT_TRUE(slot.buffer.empty() && slot.internalId.empty());

    // Completion frees matching slots whatever the service's state, and an
    // empty id matches nothing.
    BCCrashesLogBuffer::didPrepareLog(startLog("a"), "same", true, encrypter_);
    BCCrashesLogBuffer::didPrepareLog(startLog("b"), "same", true, encrypter_);
    BCCrashesLogBuffer::didCompleteEnqueueingLog(nullptr, "");
    EXPECT_EQ(BCCrashesLogBuffer::slots()[1].internalId, "same");
    BCCrashesLogBuffer::didCompleteEnqueueingLog(nullptr, "same");
    for (const auto &slot : BCCrashesLogBuffer::slots()) EXPECT_TRUE(slot.buffer.empty());
}

TEST_F(BCCrashesLogBufferTests, BufferedFilesAreEnqueuedOnceEachAndEmptied) {
    modeltest::LogCapture capture;
    // As a crash would have left them: two logs, one with a token, a free
    // slot's empty file, a file that does not decode.
    BCCrashesLogBuffer::didPrepareLog(startLog("plain"), "a", true, encrypter_);
    BCCrashesLogBuffer::didPrepareLog(startLog("tokened", "the-token"), "b", true, encrypter_);
    auto slots = BCCrashesLogBuffer::slots();
    std::ofstream(slots[0].bufferPath, std::ios::binary)
        .write(reinterpret_cast<const char *>(slots[0].buffer.data()), slots[0].buffer.size());
    std::ofstream(slots[1].bufferPath, std::ios::binary)
        .write(reinterpret_cast<const char *>(slots[1].buffer.data()), slots[1].buffer.size());
    std::ofstream(slots[1].targetTokenPath) << slots[1].targetToken;
    std::ofstream(bufferDir() / "9.bccrasheslogbuffer") << "not an archive";
    std::ofstream(bufferDir() / "9.targettoken") << "stale";

    crashestest::FakeChannelGroup group;
    auto unit = BCCrashesLogBuffer::processLogBufferAfterCrash(group, encrypter_);
    ASSERT_EQ(group.units().size(), 1u);
    const auto &configuration = *group.units()[0]->configuration();
    EXPECT_EQ(configuration.groupId(), "CrashesBuffer");
    EXPECT_EQ(configuration.priority(), 2);
    EXPECT_EQ(configuration.flushInterval(), 1u);
    EXPECT_EQ(configuration.batchSizeLimit(), 50u);
    EXPECT_EQ(configuration.pendingBatchesLimit(), 1u);

    auto items = group.units()[0]->items();
    ASSERT_EQ(items.size(), 2u);
    std::map<std::string, std::shared_ptr<BCAbstractLog>> byService;
    for (const auto &item : items) {
        EXPECT_EQ(item.flags, 1u);
        byService[serviceOf(item.log)] = item.log;
    }
    ASSERT_TRUE(byService.count("plain") && byService.count("tokened"));
    EXPECT_FALSE(byService["plain"]->transmissionTargetTokens());
    EXPECT_EQ(byService["tokened"]->transmissionTargetTokens(), std::set<std::string>{"the-token"});
    EXPECT_EQ(std::filesystem::file_size(slots[0].bufferPath), 0u);
    EXPECT_EQ(std::filesystem::file_size(slots[1].bufferPath), 0u);
    EXPECT_FALSE(std::filesystem::exists(slots[1].targetTokenPath));
    // The undecodable file is set aside with its token, kept, in one line
    // that names it at a level shown once the SDK has started.
    EXPECT_FALSE(std::filesystem::exists(bufferDir() / "9.bccrasheslogbuffer"));
    EXPECT_FALSE(std::filesystem::exists(bufferDir() / "9.targettoken"));
    EXPECT_EQ(fileText(bufferDir() / "9.bccrasheslogbuffer.corrupt"), "not an archive");
    EXPECT_EQ(fileText(bufferDir() / "9.targettoken.corrupt"), "stale");
    // No other line about it, named or not.
    auto errorLines = [&] {
        std::vector<std::string> found;
        for (const auto &[level, text] : capture.lines()) {
            if (level >= BCLogLevelWarning &&
                (text.find("9.") != std::string::npos || text.find("archiv") != std::string::npos ||
                 text.find("serializ") != std::string::npos)) {
                found.push_back(text);
            }
        }
        return found;
    };
    const auto lines = errorLines();
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind("The log buffer file 9.bccrasheslogbuffer holds no log (", 0), 0u) << lines[0];
    EXPECT_TRUE(lines[0].ends_with("); it is set aside as 9.bccrasheslogbuffer.corrupt.")) << lines[0];

    // A second start finds nothing more to send, and says nothing.
    crashestest::FakeChannelGroup again;
    BCCrashesLogBuffer::processLogBufferAfterCrash(again, encrypter_);
    EXPECT_TRUE(again.units()[0]->items().empty());
    EXPECT_EQ(errorLines().size(), 1u);

    // Emptying touches only the buffer files that hold something.
    std::ofstream(bufferDir() / "3.bccrasheslogbuffer") << "x";
    std::ofstream(bufferDir() / "3.targettoken") << "t";
    BCCrashesLogBuffer::emptyLogBufferFiles();
    EXPECT_EQ(std::filesystem::file_size(bufferDir() / "3.bccrasheslogbuffer"), 0u);
    EXPECT_EQ(fileText(bufferDir() / "9.bccrasheslogbuffer.corrupt"), "not an archive");
    EXPECT_EQ(fileText(bufferDir() / "3.targettoken"), "t");
}

TEST_F(BCCrashesLogBufferTests, ABufferedFileIsEmptiedOnlyOnceTheStoreHasItsLog) {
    modeltest::LogCapture capture;
    BCCrashesLogBuffer::didPrepareLog(startLog("saved"), "a", true, encrypter_);
    BCCrashesLogBuffer::didPrepareLog(startLog("failed", "the-token"), "b", true, encrypter_);
    BCCrashesLogBuffer::didPrepareLog(startLog("huge"), "c", true, encrypter_);
    const auto slots = BCCrashesLogBuffer::slots();
    for (size_t i = 0; i < 3; ++i) {
        std::ofstream(slots[i].bufferPath, std::ios::binary)
            .write(reinterpret_cast<const char *>(slots[i].buffer.data()), slots[i].buffer.size());
    }
    std::ofstream(slots[1].targetTokenPath) << slots[1].targetToken;
    const std::string failedArchive = fileText(slots[1].bufferPath);

    crashestest::FakeChannelGroup group;
    group.holdCompletions = true;
    BCCrashesLogBuffer::processLogBufferAfterCrash(group, encrypter_);
    auto unit = group.units()[0];
    ASSERT_EQ(unit->items().size(), 3u);
    // Nothing is emptied before the store answers, and a second start
    // meanwhile does not enqueue the same files again.
    for (size_t i = 0; i < 3; ++i) EXPECT_GT(std::filesystem::file_size(slots[i].bufferPath), 0u);
    crashestest::FakeChannelGroup meanwhile;
    BCCrashesLogBuffer::processLogBufferAfterCrash(meanwhile, encrypter_);
    EXPECT_TRUE(meanwhile.units()[0]->items().empty());

    unit->answer({BCEnqueueResult::Saved, BCEnqueueResult::Failed, BCEnqueueResult::Unstorable});
    EXPECT_EQ(std::filesystem::file_size(slots[0].bufferPath), 0u);
    // Kept, with its token, for a later launch.
    EXPECT_EQ(fileText(slots[1].bufferPath), failedArchive);
    EXPECT_EQ(fileText(slots[1].targetTokenPath), slots[1].targetToken);
    EXPECT_TRUE(capture.contains(BCLogLevelError,
                                 "The buffered log 1.bccrasheslogbuffer couldn't be stored; it is kept for a later "
                                 "launch."));
    // Set aside: never enqueued again.
    EXPECT_FALSE(std::filesystem::exists(slots[2].bufferPath));
    EXPECT_TRUE(std::filesystem::exists(slots[2].bufferPath + ".unstorable"));
    EXPECT_TRUE(capture.contains(BCLogLevelError,
                                 "The buffered log 2.bccrasheslogbuffer can never be stored; it is set aside."));

    // The next start sends the kept one only, with its token.
    crashestest::FakeChannelGroup next;
    BCCrashesLogBuffer::processLogBufferAfterCrash(next, encrypter_);
    const auto items = next.units()[0]->items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(serviceOf(items[0].log), "failed");
    EXPECT_EQ(items[0].log->transmissionTargetTokens(), std::set<std::string>{"the-token"});
    EXPECT_EQ(std::filesystem::file_size(slots[1].bufferPath), 0u);
    EXPECT_FALSE(std::filesystem::exists(slots[1].targetTokenPath));
}

TEST_F(BCCrashesLogBufferTests, AChildThatCrashesWithLogsBufferedLeavesThemOnDisk) {
    const auto cache = sdk_.path() / "cache";
    std::ofstream(sdk_.path() / "precious") << "precious";
    const auto moved = sdk_.path() / "moved";
    const auto other = sdk_.path() / "other";
    std::filesystem::create_directories(other);
    std::ofstream(other / "1.bccrasheslogbuffer") << "theirs";
    // A slot with a second name elsewhere (the notes), before the start: ours
    // becomes a private copy, with a line; the notes stay as they are, never
    // made private. Each slot below is linked to notes of its own, so that
    // each file has exactly two names.
    const auto notes = sdk_.path() / "notes";
    const auto notes4 = sdk_.path() / "notes4";
    const auto notes6 = sdk_.path() / "notes6";
    for (const auto &path : {notes, notes4, notes6}) {
        std::ofstream(path) << "notes";
        std::filesystem::permissions(path, std::filesystem::perms(0644));
    }
    auto notesKept = [&] {
        for (const auto &path : {notes, notes4, notes6}) {
            if (fileText(path) != "notes" || modeOf(path) != 0644) return false;
        }
        return true;
    };
    std::filesystem::remove(bufferDir() / "3.bccrasheslogbuffer");
    std::filesystem::create_hard_link(notes, bufferDir() / "3.bccrasheslogbuffer");
    {
        modeltest::LogCapture capture;
        BCCrashesLogBuffer::setupLogBuffer(nullptr, nullptr);
        EXPECT_TRUE(capture.contains(BCLogLevelAssert,
                                     "1 file(s) had other hard links (3.bccrasheslogbuffer), so they were someone "
                                     "else's files too; each is now a private copy of its own under its name, holding "
                                     "what it held, and the other names keep their files, untouched."));
    }
    EXPECT_TRUE(notesKept());
    EXPECT_EQ(std::filesystem::hard_link_count(notes), 1u);
    EXPECT_EQ(std::filesystem::hard_link_count(bufferDir() / "3.bccrasheslogbuffer"), 1u);
    EXPECT_EQ(fileText(bufferDir() / "3.bccrasheslogbuffer"), "notes");
    EXPECT_EQ(modeOf(bufferDir() / "3.bccrasheslogbuffer"), 0600u);
    auto child = testsupport::runInChild([&] {
        setenv("XDG_CACHE_HOME", cache.c_str(), 1);
        auto reporter = std::make_shared<BBCrashReporter>("io.plotwick/buffer-tests", "1", "1.0",
                                                          std::make_shared<BBCrashReporterConfig>(0, 0, false));
        BBCrashReporterCallbacks callbacks{0, nullptr, bc_save_log_buffer};
        reporter->setCrashCallbacks(&callbacks);
        if (!reporter->enableCrashReporter(nullptr)) return 3;
        BCCrashesLogBuffer::didPrepareLog(startLog("handled"), "done", true, encrypter_);
        BCCrashesLogBuffer::didPrepareLog(startLog("pending", "pending-token"), "waiting", true, encrypter_);
        // Every other slot full, the last one included.
        for (size_t i = 2; i < BCCrashesLogBuffer::kSlotCount; ++i) {
            BCCrashesLogBuffer::didPrepareLog(startLog("s" + std::to_string(i)), "s" + std::to_string(i), true,
                                              encrypter_);
        }
        BCCrashesLogBuffer::didCompleteEnqueueingLog(nullptr, "done");
        // A slot's file replaced by a link: the crash-time write must not
        // truncate what it points to.
        std::filesystem::remove(bufferDir() / "2.bccrasheslogbuffer");
        std::filesystem::create_symlink(sdk_.path() / "precious", bufferDir() / "2.bccrasheslogbuffer");
        // Another one replaced by a hard link since the setup: not written
        // through; our name gets a fresh file.
        std::filesystem::remove(bufferDir() / "4.bccrasheslogbuffer");
        std::filesystem::create_hard_link(notes4, bufferDir() / "4.bccrasheslogbuffer");
        // And the folder itself moved away and a link to somebody else's
        // folder put in its place: the crash-time write goes to the folder
        // prepared at setup, wherever it is now, and never behind the link.
        std::filesystem::rename(bufferDir(), moved);
        std::filesystem::create_directory_symlink(other, bufferDir());
        // A store just above address 0: a null-pointer fault for the kernel, not a
        // store through a null pointer that the sanitizers would stop first. The
        // compiler rightly sees it write outside any object: that is the point.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
        *reinterpret_cast<volatile int *>(uintptr_t{16}) = 1;
#pragma GCC diagnostic pop
        return 4;
    });
    ASSERT_EQ(child.signal, SIGSEGV) << child.output;

    // Slot 0 was freed before the crash: empty. Slot 1 holds the pending log
    // and its token; every other slot holds its log, the last one and the
    // one linked since included, without a token; the link and its target,
    // and the other name, are untouched.
    EXPECT_EQ(fileText(sdk_.path() / "precious"), "precious");
    EXPECT_TRUE(notesKept());
    EXPECT_EQ(fileText(other / "1.bccrasheslogbuffer"), "theirs");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(other), std::filesystem::directory_iterator()), 1);
    EXPECT_TRUE(std::filesystem::is_symlink(moved / "2.bccrasheslogbuffer"));
    const std::string last = fileText(moved / "59.bccrasheslogbuffer");
    EXPECT_EQ(
        serviceOf(BCUtility::unarchiveKeyedData(platform::Data(last.begin(), last.end())).objectAs<BCAbstractLog>()),
        "s59");
    EXPECT_EQ(modeOf(moved / "59.bccrasheslogbuffer"), 0600u);
    EXPECT_EQ(std::filesystem::file_size(moved / "0.bccrasheslogbuffer"), 0u);
    const std::string archive = fileText(moved / "1.bccrasheslogbuffer");
    auto log = BCUtility::unarchiveKeyedData(platform::Data(archive.begin(), archive.end())).objectAs<BCAbstractLog>();
    EXPECT_EQ(serviceOf(log), "pending");
    EXPECT_EQ(encrypter_.decryptString(fileText(moved / "1.targettoken")), "pending-token");
    size_t tokenFiles = 0;
    size_t written = 0;
    for (const auto &entry : std::filesystem::directory_iterator(moved)) {
        if (entry.path().extension() == ".targettoken") {
            ++tokenFiles;
        } else if (!entry.is_symlink() && entry.hard_link_count() == 1 && entry.file_size() > 0) {
            ++written;
        }
    }
    EXPECT_EQ(written, BCCrashesLogBuffer::kSlotCount - 2);
    const std::string fourth = fileText(moved / "4.bccrasheslogbuffer");
    EXPECT_EQ(
        serviceOf(
            BCUtility::unarchiveKeyedData(platform::Data(fourth.begin(), fourth.end())).objectAs<BCAbstractLog>()),
        "s4");
    EXPECT_EQ(tokenFiles, 1u);
    // The parent's own buffer was never saved.
    EXPECT_FALSE(BCCrashesLogBuffer::logBufferSaved());

    // The next launch finds nothing to take back, and emptying a slot linked
    // after the start empties a copy of our own: the notes stay whole.
    std::filesystem::remove(bufferDir());
    std::filesystem::rename(moved, bufferDir());
    modeltest::LogCapture capture;
    const auto hardLinkLines = [&] {
        const auto lines = capture.lines();
        return std::count_if(lines.begin(), lines.end(),
                             [](const auto &line) { return line.second.find("hard links") != std::string::npos; });
    };
    BCCrashesLogBuffer::setupLogBuffer(nullptr, nullptr);
    EXPECT_EQ(hardLinkLines(), 0);
    std::filesystem::remove(bufferDir() / "6.bccrasheslogbuffer");
    std::filesystem::create_hard_link(notes6, bufferDir() / "6.bccrasheslogbuffer");
    ASSERT_EQ(std::filesystem::hard_link_count(notes6), 2u);
    BCCrashesLogBuffer::emptyLogBufferFiles();
    EXPECT_TRUE(notesKept());
    for (const auto &path : {notes, notes4, notes6}) EXPECT_EQ(std::filesystem::hard_link_count(path), 1u) << path;
    EXPECT_EQ(std::filesystem::file_size(bufferDir() / "6.bccrasheslogbuffer"), 0u);
    EXPECT_EQ(std::filesystem::file_size(bufferDir() / "5.bccrasheslogbuffer"), 0u);
    EXPECT_EQ(hardLinkLines(), 1);
    EXPECT_TRUE(capture.contains(BCLogLevelAssert,
                                 "The log buffer file 6.bccrasheslogbuffer had other hard links, so it was someone "
                                 "else's file too; it is now a private copy of its own, and the other names keep "
                                 "their file, untouched."));
    for (const auto &entry : std::filesystem::directory_iterator(bufferDir()))
        EXPECT_FALSE(platform::FileManager::isSetAsideName(entry.path().filename().string())) << entry.path();
}

TEST_F(BCCrashesLogBufferTests, AfterTheCrashTimeWriteACompletedLogsFileIsDeleted) {
    auto child = testsupport::runInChild([&] {
        BCCrashesLogBuffer::didPrepareLog(startLog("late"), "late", true, encrypter_);
        bc_save_log_buffer(nullptr, nullptr, nullptr);
        if (!BCCrashesLogBuffer::logBufferSaved()) return 3;
        if (std::filesystem::file_size(bufferDir() / "0.bccrasheslogbuffer") == 0) return 4;
        BCCrashesLogBuffer::didCompleteEnqueueingLog(nullptr, "late");
        return std::filesystem::exists(bufferDir() / "0.bccrasheslogbuffer") ? 5 : 0;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.exitCode << child.output;
}

}  // namespace
