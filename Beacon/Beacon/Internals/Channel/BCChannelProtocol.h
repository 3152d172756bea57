#pragma once
// What channel groups and channel units have in common: delegates and an
// enabled state.
#include <memory>

class BCChannelDelegate;

class BCChannelProtocol {
public:
    virtual ~BCChannelProtocol() = default;

    // Held weakly; a delegate already present is not added twice.
    virtual void addDelegate(const std::shared_ptr<BCChannelDelegate> &delegate) = 0;
    virtual void removeDelegate(const std::shared_ptr<BCChannelDelegate> &delegate) = 0;
    // Disabling with deletion deletes the stored logs and reports each of
    // them failed.
    virtual void setEnabledAndDeleteDataOnDisabled(bool enabled, bool deleteData) = 0;
};
