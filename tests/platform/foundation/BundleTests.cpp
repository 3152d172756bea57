// Bundles read from a test folder: Info.plist values and switches, and
// localized strings in both file forms.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

const char *kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key><string>com.plotwick.Plotwick</string>
	<key>CFBundleExecutable</key><string>plotwick</string>
	<key>CFBundleShortVersionString</key><string>3.2.0</string>
	<key>CFBundleVersion</key><string>320</string>
	<key>BeaconApplicationForwarderEnabled</key><false/>
	<key>SwitchAsText</key><string>  yes</string>
	<key>SwitchAsZeroText</key><string>000</string>
	<key>SwitchAsNumber</key><integer>2</integer>
	<key>Nested</key><dict><key>a</key><array><integer>1</integer></array></dict>
</dict>
</plist>
)";

}  // namespace

TEST(BundleTest, ReadsInfoPlistValuesAndSwitches) {
    testsupport::TemporaryDirectory dir;
    std::ofstream(dir.path() / "Info.plist") << kInfoPlist;
    Bundle bundle(dir.path());
    EXPECT_EQ(bundle.bundleIdentifier(), "com.plotwick.Plotwick");
    EXPECT_EQ(bundle.shortVersionString(), "3.2.0");
    EXPECT_EQ(bundle.buildVersion(), "320");
    EXPECT_EQ(bundle.executablePath(), dir.path() / "plotwick");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("Nested")["a"], Value(Array{Value(1)}));
    EXPECT_EQ(bundle.boolForInfoDictionaryKey("BeaconApplicationForwarderEnabled"), false);
    EXPECT_EQ(bundle.boolForInfoDictionaryKey("SwitchAsText"), true);
    EXPECT_EQ(bundle.boolForInfoDictionaryKey("SwitchAsZeroText"), false);
    EXPECT_EQ(bundle.boolForInfoDictionaryKey("SwitchAsNumber"), true);
    EXPECT_EQ(bundle.boolForInfoDictionaryKey("Nested"), std::nullopt);
    EXPECT_EQ(bundle.boolForInfoDictionaryKey("Absent"), std::nullopt);
    EXPECT_EQ(bundle.preferredLocalizations(), std::vector<std::string>{"en"});

    // A folder without Info.plist, or with garbage in it, is an empty bundle.
    testsupport::TemporaryDirectory empty;
    EXPECT_FALSE(Bundle(empty.path()).bundleIdentifier());
    std::ofstream(empty.path() / "Info.plist") << "garbage";
    EXPECT_TRUE(Bundle(empty.path()).infoDictionary().empty());
}

TEST(BundleTest, MainBundleCanBePointedAtATestFolderAndNamesTheDefaultsFile) {
    testsupport::TemporaryHome home;
    testsupport::TemporaryDirectory dir;
    std::ofstream(dir.path() / "Info.plist") << kInfoPlist;
    Bundle::setMainBundleDirectory(dir.path());
    auto main = Bundle::mainBundle();
    EXPECT_EQ(main, Bundle::mainBundle());
    EXPECT_EQ(main->bundleIdentifier(), "com.plotwick.Plotwick");
    EXPECT_EQ(main->executablePath(), ProcessInfo::processInfo()->executablePath());
    EXPECT_EQ(UserDefaults::standardFilePath(), home.path() / ".config" / "com.plotwick.Plotwick.plist");

    Bundle::setMainBundleDirectory(std::nullopt);
    EXPECT_EQ(Bundle::mainBundle()->bundlePath(), ProcessInfo::processInfo()->executablePath().parent_path());
}

TEST(BundleTest, LocalizedStringsFromStringsOrPlistFilesWithTheKeyAsFallback) {
    testsupport::TemporaryDirectory dir;
    std::ofstream(dir.path() / "Localizable.strings") << "\xEF\xBB\xBF/* Alert texts */\n"
                                                         "\"Send\" = \"Senden\";\n"
                                                         "// a line comment\n"
                                                         "\"Quote \\\"me\\\"\" =\n  \"Zeile 1\\nZeile 2 \\\\ \";\n";
    std::ofstream(dir.path() / "Alerts.plist")
        << "<plist version=\"1.0\"><dict><key>Always send</key><string>Immer senden</string>"
           "<key>NotText</key><integer>1</integer></dict></plist>";
    Bundle bundle(dir.path());
    EXPECT_EQ(bundle.localizedStringForKey("Send"), "Senden");
    EXPECT_EQ(bundle.localizedStringForKey("Quote \"me\""), "Zeile 1\nZeile 2 \\ ");
    EXPECT_EQ(bundle.localizedStringForKey("Don't send"), "Don't send");
    EXPECT_EQ(bundle.localizedStringForKey("Don't send", "Nicht senden"), "Nicht senden");
    EXPECT_EQ(bundle.localizedStringForKey("Don't send", ""), "Don't send");
    EXPECT_EQ(bundle.localizedStringForKey("Always send", std::nullopt, "Alerts"), "Immer senden");
    EXPECT_EQ(bundle.localizedStringForKey("NotText", std::nullopt, "Alerts"), "NotText");
    EXPECT_EQ(bundle.localizedStringForKey("Send", std::nullopt, "Missing"), "Send");

    for (const char *bad : {"\"a\" = \"b\"", "\"a\" \"b\";", "\"a = \"b\";", "/* open", "\"a\" = \"\\q\";"})
        EXPECT_FALSE(Bundle::parseStrings(bad)) << bad;
    EXPECT_EQ(Bundle::parseStrings("")->size(), 0u);
}
