#pragma once
// Error objects for the engine's own operations (not for the crash path).
#include "platform/foundation/Error.h"
#include "platform/mach/mach_types.h"

#include <memory>
#include <string>

inline constexpr const char *BBCrashReporterErrorDomain = "BBCrashReporterErrorDomain";

// When `error` is given: an error in BBCrashReporterErrorDomain with the code,
// the description as its localized description and, when given, the
// underlying error.
void bbcrash_populate_error(std::shared_ptr<const platform::Error> *error, int64_t code, const std::string &description,
                            std::shared_ptr<const platform::Error> underlying);

// Code 1 (operating system) with the kernel result as an underlying error in
// the Mach domain.
void bbcrash_populate_mach_error(std::shared_ptr<const platform::Error> *error, platform::mach::kern_return_t kr,
                                 const std::string &description);

// Code 1 (operating system) with the errno value as an underlying error in
// the POSIX domain.
void bbcrash_populate_posix_error(std::shared_ptr<const platform::Error> *error, int errnum,
                                  const std::string &description);
