#include "bbcrash_error.h"

const char *bbcrash_error_text(int error) {
    switch (error) {
    case BBCRASH_ESUCCESS: return "No error";
    case BBCRASH_EUNKNOWN: return "Unknown error";
    case BBCRASH_OUTPUT_ERR: return "Output file can not be opened (or written to)";
    case BBCRASH_ENOMEM: return "No memory available";
    case BBCRASH_ENOTSUP: return "Operation not supported";
    case BBCRASH_EINVAL: return "Invalid argument";
    case BBCRASH_EINTERNAL: return "Internal error";
    case BBCRASH_EACCESS: return "Access denied";
    case BBCRASH_ENOTFOUND: return "Not found";
    case BBCRASH_EINVALID_DATA: return "The input data is in an unknown or invalid format.";
    }
    return "Unhandled error code";
}
