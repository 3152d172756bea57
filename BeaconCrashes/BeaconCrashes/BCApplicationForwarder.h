#pragma once
// Makes exceptions that the application object reports while it dispatches
// an event reach the crash engine: replaces the application's "sendEvent:"
// and "reportException:" (once per process) with implementations that hand
// the exception to the crash service first and then call the replaced ones.
class BCApplicationForwarder {
public:
    // Nothing when the Info.plist key "BeaconApplicationForwarderEnabled" is
    // NO, or while the user default "NSApplicationCrashOnExceptions" is not
    // YES.
    static void registerForwarding();
};
