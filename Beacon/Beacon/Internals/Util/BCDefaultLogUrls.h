#pragma once
// The ingestion base URLs used until setLogUrl: names another. The build
// sets them (CMake cache variables PLOTWICK_DEFAULT_LOG_URL and
// PLOTWICK_DEFAULT_EVENT_COLLECTOR_URL) on BCDefaultLogUrls.cpp alone, so that
// changing one recompiles that file only. The fallbacks are names under the
// reserved ".invalid" domain, which never resolve: the HTTP client does not
// try them, and their logs stay stored until a server is set.
extern const char kBCDefaultLogUrl[];
extern const char kBCDefaultEventCollectorUrl[];
