#pragma once
// What the application's crash delegate may answer or be told. Every member
// is optional: an empty one means the delegate does not respond to it.
#include <functional>
#include <memory>
#include <vector>

#include "platform/foundation/Error.h"

class BCCrashes;
class BCErrorAttachmentLog;
class BCErrorReport;

class BCCrashesDelegate {
public:
    using Report = std::shared_ptr<BCErrorReport>;
    virtual ~BCCrashesDelegate() = default;

    // crashes:shouldProcessErrorReport:
    std::function<bool(BCCrashes &crashes, const Report &report)> shouldProcessErrorReport;
    // attachmentsWithCrashes:forErrorReport:
    std::function<std::vector<std::shared_ptr<BCErrorAttachmentLog>>(BCCrashes &crashes, const Report &report)>
        attachmentsWithCrashes;
    // crashes:willSendErrorReport:
    std::function<void(BCCrashes &crashes, const Report &report)> willSendErrorReport;
    // crashes:didSucceedSendingErrorReport:
    std::function<void(BCCrashes &crashes, const Report &report)> didSucceedSendingErrorReport;
    // crashes:didFailSendingErrorReport:withError:
    std::function<void(BCCrashes &crashes, const Report &report, const platform::ErrorPtr &error)>
        didFailSendingErrorReport;
};
