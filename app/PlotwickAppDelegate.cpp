#include "PlotwickAppDelegate.h"

#include "BCBeacon.h"
#include "BCCrashes.h"
#include "PlotwickCrashConfirmation.h"
#include "platform/foundation/UserDefaults.h"

void PlotwickAppDelegate::applicationDidFinishLaunching() {
    platform::UserDefaults::standardUserDefaults()->registerDefaults(
        {{"NSApplicationCrashOnExceptions", platform::Value(true)}});
    BCCrashes::setDelegate(std::static_pointer_cast<BCCrashesDelegate>(shared_from_this()));
    BCCrashes::setUserConfirmationHandler(PlotwickCrashConfirmation::confirm);
    BCBeacon::start(kAppSecret, BCBeacon::Services{BCCrashes::serviceClass()});
}
