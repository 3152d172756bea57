// Anchors the telemetry core's library while it has no other sources.
namespace BC {
const char *coreName() { return "Beacon"; }
}  // namespace BC
