#pragma once
// The ingestion base URLs used until setLogUrl: names another. The build
// sets them (CMake cache variables PLOTWICK_DEFAULT_LOG_URL and
// PLOTWICK_DEFAULT_EVENT_COLLECTOR_URL); the fallbacks are reserved names
// that never resolve, so nothing leaves the machine by accident: a send to
// them fails without a response and its logs stay stored.
#ifndef PLOTWICK_DEFAULT_LOG_URL
#define PLOTWICK_DEFAULT_LOG_URL "https://in.plotwick.invalid"
#endif
#ifndef PLOTWICK_DEFAULT_EVENT_COLLECTOR_URL
#define PLOTWICK_DEFAULT_EVENT_COLLECTOR_URL "https://events.plotwick.invalid"
#endif

inline constexpr const char *kBCDefaultLogUrl = PLOTWICK_DEFAULT_LOG_URL;
inline constexpr const char *kBCDefaultEventCollectorUrl = PLOTWICK_DEFAULT_EVENT_COLLECTOR_URL;
