#include "BCMetadataExtension.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCMetadataExtension::serializeToDictionary() const {
    if (!metadata || metadata->empty()) return nullptr;
    return BCModelUtil::jsonFromValue(platform::Value(*metadata));
}

bool BCMetadataExtension::isEqual(const platform::Object &other) const {
    auto ext = dynamic_cast<const BCMetadataExtension *>(&other);
    return ext && metadata == ext->metadata;
}

void BCMetadataExtension::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(metadata ? platform::Value(*metadata) : platform::Value(), "metadata");
}

void BCMetadataExtension::initWithCoder(platform::KeyedUnarchiver &coder) {
    metadata = coder.decodeDictionaryForKey("metadata");
}
