#include "CrashesTestSupport.h"

#include "BCCrashesModelUtil.h"

namespace crashestest {

platform::Value roundTrip(const platform::Value &value) {
    BCCrashesModelUtil::registerArchivableClasses();
    BCUtility::addMigrationClasses(BCCrashesModelUtil::migrationClasses());
    return modeltest::roundTrip(value);
}

}  // namespace crashestest
