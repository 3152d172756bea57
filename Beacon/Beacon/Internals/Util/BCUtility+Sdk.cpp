// The SDK's identity, kept in a section of its own ("__bc_sdk") in the
// executable so tools can read it without running the program.
#include <cstring>

#include "BCUtility.h"

struct BCSdkRecord {
    unsigned char version;
    char name[32];
    char sdkVersion[32];
    char build[32];
};
static_assert(sizeof(BCSdkRecord) == 97, "the record is 97 bytes");

// External, under a plain name, so the application's link can require it:
// nothing calls into this file from the executable's own code, and the
// linker would otherwise leave the record out.
extern "C" {
extern const BCSdkRecord BCSdkIdentityRecord;
__attribute__((section("__bc_sdk"), used)) const BCSdkRecord BCSdkIdentityRecord = {1, "beacon.macos", "4.0.0", "1"};
}

namespace {

// A NUL-padded field that may fill its whole width.
std::string fieldText(const char *field, size_t width) { return std::string(field, strnlen(field, width)); }

}  // namespace

std::string BCUtility::sdkName() { return fieldText(BCSdkIdentityRecord.name, sizeof BCSdkIdentityRecord.name); }

std::string BCUtility::sdkVersion() {
    return fieldText(BCSdkIdentityRecord.sdkVersion, sizeof BCSdkIdentityRecord.sdkVersion);
}
