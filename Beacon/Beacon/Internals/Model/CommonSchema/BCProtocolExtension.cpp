#include "BCProtocolExtension.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCProtocolExtension::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    if (ticketKeys) dict["ticketKeys"] = *ticketKeys;
    BCModelUtil::addString(dict, "devMake", devMake);
    BCModelUtil::addString(dict, "devModel", devModel);
    return dict.empty() ? nlohmann::ordered_json() : dict;
}

bool BCProtocolExtension::isEqual(const platform::Object &other) const {
    auto ext = dynamic_cast<const BCProtocolExtension *>(&other);
    return ext && ticketKeys == ext->ticketKeys && devMake == ext->devMake && devModel == ext->devModel;
}

void BCProtocolExtension::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(BCModelUtil::stringArrayValue(ticketKeys), "ticketKeys");
    coder.encodeObject(devMake, "devMake");
    coder.encodeObject(devModel, "devModel");
}

void BCProtocolExtension::initWithCoder(platform::KeyedUnarchiver &coder) {
    ticketKeys = BCModelUtil::decodeStringArray(coder, "ticketKeys");
    devMake = coder.decodeStringForKey("devMake");
    devModel = coder.decodeStringForKey("devModel");
}
