#include "BCSDKExtension.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCSDKExtension::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "libVer", libVer);
    BCModelUtil::addString(dict, "epoch", epoch);
    if (installId) dict["installId"] = installId->UUIDString();
    if (seq != 0) dict["seq"] = seq;
    return dict.empty() ? nlohmann::ordered_json() : dict;
}

bool BCSDKExtension::isEqual(const platform::Object &other) const {
    auto ext = dynamic_cast<const BCSDKExtension *>(&other);
    return ext && libVer == ext->libVer && epoch == ext->epoch && seq == ext->seq && installId == ext->installId;
}

void BCSDKExtension::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(libVer, "libVer");
    coder.encodeObject(epoch, "epoch");
    coder.encodeInt64(seq, "seq");
    coder.encodeObject(installId ? platform::Value(*installId) : platform::Value(), "installId");
}

void BCSDKExtension::initWithCoder(platform::KeyedUnarchiver &coder) {
    libVer = coder.decodeStringForKey("libVer");
    epoch = coder.decodeStringForKey("epoch");
    seq = coder.decodeInt64ForKey("seq");
    installId = coder.decodeUUIDForKey("installId");
}
