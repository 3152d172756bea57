#pragma once
// One binary image loaded in a crashed process.
#include <cstdint>
#include <optional>
#include <string>

#include "BCModel.h"
#include "BCSerializableObject.h"

class BCBinary : public BCSerializableObject, public BCModel {
public:
    std::optional<std::string> binaryId;
    std::optional<std::string> startAddress;
    // The address of the image's last byte.
    std::optional<std::string> endAddress;
    std::optional<std::string> name;
    std::optional<std::string> path;
    std::optional<std::string> architecture;
    std::optional<uint64_t> primaryArchitectureId;
    std::optional<uint64_t> architectureVariantId;

    std::string className() const override { return "BCBinary"; }
    // "id", "startAddress", "endAddress", "name", "path", "architecture",
    // "primaryArchitectureId", "architectureVariantId", each when present.
    nlohmann::ordered_json serializeToDictionary() const override;
    // binaryId, startAddress, endAddress, name and path present.
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
