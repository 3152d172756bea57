// The SDK's identity, kept in a section of its own ("__bc_sdk") in the
// executable so tools can read it without running the program.
#include <cstring>

#include "BCUtility.h"

namespace {

struct BCSdkRecord {
    unsigned char version;
    char name[32];
    char sdkVersion[32];
    char build[32];
};
static_assert(sizeof(BCSdkRecord) == 97, "the record is 97 bytes");

__attribute__((section("__bc_sdk"), used)) const BCSdkRecord kSdkRecord = {1, "beacon.macos", "4.0.0", "1"};

// A NUL-padded field that may fill its whole width.
std::string fieldText(const char *field, size_t width) { return std::string(field, strnlen(field, width)); }

}  // namespace

std::string BCUtility::sdkName() { return fieldText(kSdkRecord.name, sizeof kSdkRecord.name); }

std::string BCUtility::sdkVersion() { return fieldText(kSdkRecord.sdkVersion, sizeof kSdkRecord.sdkVersion); }
