#include <gtest/gtest.h>

#include "BCUtility.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

namespace {

// A small archivable class standing in for the SDK's models.
class BCTestHistoryEntry : public platform::Coding {
public:
    explicit BCTestHistoryEntry(std::string name) : name(std::move(name)) {}
    std::string className() const override { return "BCTestHistoryEntry"; }
    void encodeWithCoder(platform::KeyedArchiver &coder) const override {
        coder.encodeObject(platform::Value(name), "name");
    }
    bool isEqual(const platform::Object &other) const override {
        auto o = dynamic_cast<const BCTestHistoryEntry *>(&other);
        return o && o->name == name;
    }
    std::string name;
};

// Archives the entry under an older class name, as a previous version did.
class BCOldTestHistoryEntry : public BCTestHistoryEntry {
public:
    using BCTestHistoryEntry::BCTestHistoryEntry;
    std::string className() const override { return "MSOldHistoryEntry"; }
};

void registerTestClass() {
    platform::KeyedUnarchiver::registerClass("BCTestHistoryEntry",
                                             [](platform::KeyedUnarchiver &coder) -> platform::ObjectPtr {
                                                 auto name = coder.decodeStringForKey("name");
                                                 if (!name) return nullptr;
                                                 return std::make_shared<BCTestHistoryEntry>(*name);
                                             });
}

}  // namespace

TEST(BCUtilityArchiving, RoundTripsAndRefusesGarbage) {
    registerTestClass();
    platform::Value::Array entries{platform::Value(std::make_shared<BCTestHistoryEntry>("a")),
                                   platform::Value(std::make_shared<BCTestHistoryEntry>("b"))};
    auto data = BCUtility::archiveKeyedData(platform::Value(entries));
    ASSERT_TRUE(data);
    EXPECT_EQ(BCUtility::unarchiveKeyedData(data), platform::Value(entries));

    EXPECT_FALSE(BCUtility::archiveKeyedData(platform::Value()));
    EXPECT_TRUE(BCUtility::unarchiveKeyedData(std::nullopt).isNull());
    EXPECT_TRUE(BCUtility::unarchiveKeyedData(platform::Data{'b', 'p', 'l', 'i', 's', 't'}).isNull());
    auto truncated = *data;
    truncated.resize(truncated.size() / 2);
    EXPECT_TRUE(BCUtility::unarchiveKeyedData(truncated).isNull());
}

TEST(BCUtilityArchiving, OldClassNamesDecodeOnceRegistered) {
    registerTestClass();
    auto old = BCUtility::archiveKeyedData(platform::Value(std::make_shared<BCOldTestHistoryEntry>("legacy")));
    ASSERT_TRUE(old);
    EXPECT_TRUE(BCUtility::unarchiveKeyedData(old).isNull());
    BCUtility::addMigrationClasses({{"MSOldHistoryEntry", "BCTestHistoryEntry"}});
    auto decoded = BCUtility::unarchiveKeyedData(old).objectAs<BCTestHistoryEntry>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->name, "legacy");
    EXPECT_EQ(decoded->className(), "BCTestHistoryEntry");
}
