#include <gtest/gtest.h>

#include "BCCustomProperties.h"
#include "BCUtility.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"

namespace {

class OldNamedCustomProperties : public BCCustomProperties {
public:
    std::string className() const override { return "BNCustomProperties"; }
};

}  // namespace

TEST(BCCustomProperties, CopyIsDetachedAndArchivesUnderTheOldName) {
    BCCustomProperties properties;
    properties.setString("x", "s");
    properties.setNumber(int64_t(3), "n");
    properties.setBool(true, "b");
    properties.setString("gone", "c");
    properties.clearPropertyForKey("c");
    auto copy = properties.propertiesImmutableCopy();
    properties.setString("later", "s");
    EXPECT_EQ(copy, (platform::Dictionary{
                        {"b", platform::Value(true)}, {"n", platform::Value(int64_t(3))}, {"s", platform::Value("x")}}))
        << "a copy taken earlier does not see later changes";

    auto old = std::make_shared<OldNamedCustomProperties>();
    old->setString("v", "k");
    BCUtility::addMigrationClasses({{"BNCustomProperties", "BCCustomProperties"}});
    auto decoded = modeltest::roundTrip(old).objectAs<BCCustomProperties>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->className(), "BCCustomProperties");
    EXPECT_EQ(decoded->propertiesImmutableCopy(), (platform::Dictionary{{"k", platform::Value("v")}}));
}
