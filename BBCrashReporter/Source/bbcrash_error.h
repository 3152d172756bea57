#pragma once
// Result codes of the engine's async-safe layer and their fixed texts.

enum bbcrash_error_t : int {
    BBCRASH_ESUCCESS = 0,       // No error
    BBCRASH_EUNKNOWN = 1,       // Unknown error
    BBCRASH_OUTPUT_ERR = 2,     // Output file can not be opened (or written to)
    BBCRASH_ENOMEM = 3,         // No memory available
    BBCRASH_ENOTSUP = 4,        // Operation not supported
    BBCRASH_EINVAL = 5,         // Invalid argument
    BBCRASH_EINTERNAL = 6,      // Internal error
    BBCRASH_EACCESS = 7,        // Access denied
    BBCRASH_ENOTFOUND = 8,      // Not found
    BBCRASH_EINVALID_DATA = 9,  // The input data is in an unknown or invalid format.
};

// The text of a code; any value outside the enumeration gives
// "Unhandled error code". Async-signal-safe (returns a static string).
const char *bbcrash_error_text(int error);
