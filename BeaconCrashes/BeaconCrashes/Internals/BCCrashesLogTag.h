#pragma once
// The tag of the crash service's log lines, for the service and for the
// parts that work for it without depending on it.
inline constexpr const char *kBCCrashesLogTag = "BeaconCrashes";
