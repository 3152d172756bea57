// Anchors the crash engine's library while it has no other sources.
namespace bbcrash {
const char *engineName() { return "BBCrashReporter"; }
}  // namespace bbcrash
