// The keyed unarchiver with every model decoder of the SDK registered, as
// the histories and the log store use it; a decoded value is archived again.

#include "BCLogger.h"
#include "BCModelUtil.h"
#include "BCUtility.h"
#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = [] {
        BCLogger::setCurrentLogLevel(BCLogLevelNone);
        BCModelUtil::registerArchivableClasses();
        return true;
    }();
    (void)ready;
    platform::Value value = BCUtility::unarchiveKeyedData(platform::Data(data, data + size));
    if (!value.isNull()) (void)BCUtility::archiveKeyedData(value);
    return 0;
}
