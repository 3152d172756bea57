#pragma once
// Reading how a forked test child ended, from the text runInChild returns.
#include <string>

namespace bbcrashtest {

// Whether the child's result says it died of `signo`.
inline bool diedOf(const std::string &result, int signo) {
    return result.rfind("child died of signal " + std::to_string(signo) + ";", 0) == 0;
}

}  // namespace bbcrashtest
