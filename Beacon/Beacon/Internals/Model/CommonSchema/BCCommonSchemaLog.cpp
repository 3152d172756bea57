#include "BCCommonSchemaLog.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCCommonSchemaLog::serializeToDictionary() const {
    nlohmann::ordered_json dict = BCAbstractLog::serializeToDictionary();
    BCModelUtil::addString(dict, "ver", ver);
    BCModelUtil::addString(dict, "name", name);
    BCModelUtil::addNumber(dict, "popSample", popSample);
    BCModelUtil::addString(dict, "iKey", iKey);
    BCModelUtil::addNumber(dict, "flags", flags);
    BCModelUtil::addString(dict, "cV", cV);
    if (ext) dict["ext"] = ext->serializeToDictionary();
    if (data && !data->empty()) dict["data"] = BCModelUtil::jsonFromValue(platform::Value(*data));
    return dict;
}

bool BCCommonSchemaLog::isValid() const {
    // A common-schema log has no type and its name is left to the event's
    // owner, so the base's rules (and a name) would refuse every log the
    // conversion makes; it needs what the conversion always gives it.
    if (!ver) return BCModelUtil::invalid(className(), "ver");
    if (!timestamp()) return BCModelUtil::invalid(className(), "timestamp");
    if (!iKey) return BCModelUtil::invalid(className(), "iKey");
    if (ext && !ext->isValid()) return BCModelUtil::invalid(className(), "ext");
    return true;
}

bool BCCommonSchemaLog::isEqual(const platform::Object &other) const {
    auto log = dynamic_cast<const BCCommonSchemaLog *>(&other);
    return log && BCAbstractLog::isEqual(other) && ver == log->ver && name == log->name &&
           popSample == log->popSample && iKey == log->iKey && flags == log->flags && cV == log->cV &&
           BCModelUtil::objectsMatch(ext, log->ext) && data == log->data;
}

void BCCommonSchemaLog::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCAbstractLog::encodeWithCoder(coder);
    coder.encodeObject(ver, "ver");
    coder.encodeObject(name, "name");
    coder.encodeObject(BCModelUtil::numberValue(popSample), "popSample");
    coder.encodeObject(iKey, "iKey");
    coder.encodeObject(BCModelUtil::numberValue(flags), "flags");
    coder.encodeObject(cV, "cV");
    coder.encodeObject(ext, "ext");
    coder.encodeObject(data ? platform::Value(*data) : platform::Value(), "data");
}

void BCCommonSchemaLog::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCAbstractLog::initWithCoder(coder);
    ver = coder.decodeStringForKey("ver");
    name = coder.decodeStringForKey("name");
    if (auto number = coder.decodeNumberForKey("popSample")) popSample = number->doubleValue();
    iKey = coder.decodeStringForKey("iKey");
    flags = BCModelUtil::decodeInteger(coder, "flags");
    cV = coder.decodeStringForKey("cV");
    ext = coder.decodeObjectOfClassForKey<BCCSExtensions>("ext");
    data = coder.decodeDictionaryForKey("data");
}
