#include "BCCrashesModelUtil.h"

#include <mutex>

#include "BCAbstractErrorLog.h"
#include "BCAppleErrorLog.h"
#include "BCBinary.h"
#include "BCErrorAttachmentLog.h"
#include "BCException.h"
#include "BCHandledErrorLog.h"
#include "BCStackFrame.h"
#include "BCThread.h"
#include "BCWrapperException.h"

namespace {

template <typename T>
void registerDecoder() {
    platform::KeyedUnarchiver::registerClass(T().className(),
                                             [](platform::KeyedUnarchiver &coder) -> platform::ObjectPtr {
                                                 auto object = std::make_shared<T>();
                                                 object->initWithCoder(coder);
                                                 if (coder.error()) return nullptr;
                                                 return object;
                                             });
}

}  // namespace

void BCCrashesModelUtil::registerArchivableClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        BCModelUtil::registerArchivableClasses();
        registerDecoder<BCStackFrame>();
        registerDecoder<BCException>();
        registerDecoder<BCThread>();
        registerDecoder<BCBinary>();
        registerDecoder<BCAbstractErrorLog>();
        registerDecoder<BCAppleErrorLog>();
        registerDecoder<BCHandledErrorLog>();
        registerDecoder<BCErrorAttachmentLog>();
        registerDecoder<BCWrapperException>();
    });
}

const std::map<std::string, std::string> &BCCrashesModelUtil::migrationClasses() {
    // Never destroyed: archives may be read while the process exits.
    static const auto *classes = new std::map<std::string, std::string>{
        {"BNAppleErrorLog", "BCAppleErrorLog"},
        {"BNThread", "BCThread"},
        {"BNWrapperException", "BCWrapperException"},
        {"BNAbstractErrorLog", "BCAbstractErrorLog"},
        {"BNHandledErrorLog", "BCHandledErrorLog"},
        {"BNException", "BCException"},
        {"BNStackFrame", "BCStackFrame"},
        {"BNBinary", "BCBinary"},
        {"BNErrorAttachmentLog", "BCErrorAttachmentLog"},
        // Not archivable, but older versions registered it too.
        {"BNErrorReport", "BCErrorReport"},
    };
    return *classes;
}
