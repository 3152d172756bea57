#pragma once
// Status-code tests and secret masking for the HTTP client.
#include <string>

class BCHttpUtil {
public:
    // 200 to 299.
    static bool isSuccessStatusCode(long statusCode);
    // 0 (no response), every 3xx (a redirect the URL session did not follow,
    // to another origin: nothing was delivered), 408, 429, and every code of
    // 500 or more: worth a retry.
    static bool isRecoverableError(long statusCode);
    // The secret with its leading characters replaced by "*": all of them for
    // 8 characters or fewer, all but the last 8 otherwise; the length stays.
    static std::string hideSecret(const std::string &secret);
};
