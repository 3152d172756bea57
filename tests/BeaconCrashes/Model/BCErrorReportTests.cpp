#include <gtest/gtest.h>

#include "BCErrorReport.h"

namespace {

BCErrorReport report(std::optional<std::string> signal) {
    return BCErrorReport("id", std::nullopt, std::move(signal), std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                         nullptr, 0);
}

}  // namespace

TEST(BCErrorReportModel, AppKillIsSigkillInAnyCase) {
    EXPECT_TRUE(report("SIGKILL").isAppKill());
    EXPECT_TRUE(report("sigkill").isAppKill());
    EXPECT_FALSE(report("SIGSEGV").isAppKill());
    EXPECT_FALSE(report(std::nullopt).isAppKill());
    auto r = report(std::nullopt);
    r.setSignal("SigKill");
    EXPECT_TRUE(r.isAppKill());
    EXPECT_EQ(r.incidentIdentifier(), "id");
}
