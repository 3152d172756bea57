// The log URLs of the application copy that the tests run. Defined here,
// they take the place of the library's own (its object is then never linked
// in), so that whatever server the build is set to, a test that runs the
// real application sends nothing to it: names under ".invalid" are never
// looked up, and the logs stay stored.
#include "Internals/Util/BCDefaultLogUrls.h"

const char kBCDefaultLogUrl[] = "https://in.plotwick.invalid";
const char kBCDefaultEventCollectorUrl[] = "https://events.plotwick.invalid";
