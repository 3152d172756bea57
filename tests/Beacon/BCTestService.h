#pragma once
// Services for the tests of the service base and the SDK entry point: each
// has a name, a priority and whether it needs an app secret; its shared
// instance lives until resetAll().
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "BCChannelUnitConfiguration.h"
#include "BCServiceAbstract.h"
#include "BCServiceClass.h"

struct BCTestServiceTraits {
    std::string name = "TestService";
    long priority = 500;
    bool appSecretRequired = true;
    std::optional<BCChannelUnitConfiguration> configuration = BCChannelUnitConfiguration("TestService", 1, 1, 1, 3);
};

class BCTestService : public BCServiceAbstract {
public:
    using Traits = BCTestServiceTraits;

    // The class of the service with these traits; the same object for the
    // same name, for the life of the process.
    static const BCServiceClass &serviceClass(const Traits &traits = Traits());
    static std::shared_ptr<BCTestService> sharedInstance(const std::string &name = "TestService");
    // Drops every shared instance.
    static void resetAll();

    explicit BCTestService(Traits traits) : traits_(std::move(traits)) {}

    std::string className() const override { return "BC" + traits_.name; }
    std::string groupId() const override { return traits_.name; }
    std::optional<BCChannelUnitConfiguration> channelUnitConfiguration() const override {
        return traits_.configuration;
    }
    long initializationPriority() const override { return traits_.priority; }
    bool isAppSecretRequired() const override { return traits_.appSecretRequired; }
    void applyEnabledState(bool isEnabled) override;

    // Each applied state, with the state stored when it was applied.
    std::vector<std::pair<bool, bool>> appliedStates() const;

private:
    Traits traits_;
    std::vector<std::pair<bool, bool>> appliedStates_;
};
