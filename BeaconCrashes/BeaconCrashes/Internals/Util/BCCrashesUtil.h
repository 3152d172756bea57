#pragma once
// The crash service's three directories below the SDK directory, each
// created on its first use in the process.
#include <string>

class BCCrashesUtil {
public:
    // "crashes"
    static std::string crashesDir();
    // "crasheslogbuffer"
    static std::string logBufferDir();
    // "crasheswrapperexceptions"
    static std::string wrapperExceptionsDir();
    // Forgets that the directories were created, so the next call of each
    // creates its directory again.
    static void resetDirectory();
};
