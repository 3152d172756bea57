// Anchors the crash reporting service's library while it has no other sources.
namespace BC {
const char *crashServiceName() { return "BeaconCrashes"; }
}  // namespace BC
