// The built-in ingestion base URLs, from the build's definitions.
#include "BCDefaultLogUrls.h"

#ifndef PLOTWICK_DEFAULT_LOG_URL
#define PLOTWICK_DEFAULT_LOG_URL "https://in.plotwick.invalid"
#endif
#ifndef PLOTWICK_DEFAULT_EVENT_COLLECTOR_URL
#define PLOTWICK_DEFAULT_EVENT_COLLECTOR_URL "https://events.plotwick.invalid"
#endif

const char kBCDefaultLogUrl[] = PLOTWICK_DEFAULT_LOG_URL;
const char kBCDefaultEventCollectorUrl[] = PLOTWICK_DEFAULT_EVENT_COLLECTOR_URL;
