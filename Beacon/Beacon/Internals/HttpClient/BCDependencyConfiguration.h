#pragma once
// An HTTP client injected for the whole process (none unless set).
#include <memory>

#include "BCHttpClientProtocol.h"

class BCDependencyConfiguration {
public:
    static std::shared_ptr<BCHttpClientProtocol> httpClient();
    static void setHttpClient(std::shared_ptr<BCHttpClientProtocol> httpClient);
};
