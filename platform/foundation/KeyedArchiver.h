#pragma once
// Writes keyed archives in Foundation's layout, as binary property lists:
//   { "$archiver": "NSKeyedArchiver", "$version": 100000,
//     "$top": { "root": UID }, "$objects": [ "$null", ... ] }
// Strings, numbers and data are stored as themselves in $objects; dates,
// UUIDs, arrays, dictionaries and Coding objects as dictionaries with a
// "$class" reference to a class record { "$classname", "$classes" }. An
// object that appears twice is written once and referenced twice.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/BinaryPlistWriter.h"
#include "platform/foundation/Coding.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/PlistNode.h"
#include "platform/foundation/Value.h"

namespace platform {

class KeyedArchiver {
public:
    KeyedArchiver();
    KeyedArchiver(const KeyedArchiver &) = delete;
    KeyedArchiver &operator=(const KeyedArchiver &) = delete;

    // The archive of the value under the key "root"; nullopt with an error
    // when something in it cannot be archived (an object that is not a
    // Coding, a string with a NUL character).
    static std::optional<Data> archivedDataWithRootObject(const Value &root, ErrorPtr *error = nullptr);

    // Within encodeWithCoder (or on a fresh archiver, at the top level).
    // A null Value is written as the nil reference.
    void encodeObject(const Value &value, std::string_view key);
    void encodeBool(bool value, std::string_view key);
    void encodeInt32(int32_t value, std::string_view key);
    void encodeInt64(int64_t value, std::string_view key);
    void encodeDouble(double value, std::string_view key);
    // The same as encodeObject of the text (nil when absent), or of an
    // Array of the texts, without making Values of them first.
    void encodeString(const std::optional<std::string> &text, std::string_view key);
    void encodeStrings(const std::optional<std::vector<std::string>> &texts, std::string_view key);

    // Records a failure; the archive will not be produced. The first error
    // is the one reported.
    void failWithError(ErrorPtr error);
    const ErrorPtr &error() const { return error_; }

    // Ends the archive and answers its bytes, or nullopt with the first
    // error met. The archiver cannot be used afterwards.
    std::optional<Data> finishEncoding(ErrorPtr *error = nullptr);

private:
    // Records the failure when the archive is finished already.
    bool usedAfterFinishing();
    uint64_t encodeValue(const Value &value);
    uint64_t encodeText(std::string_view text);
    // The record of a class whose superclass is NSObject.
    uint64_t classRecord(std::string_view className);
    using Node = BinaryPlistWriter::NodeId;
    uint64_t appendObject(Node node);
    void setEntry(std::string_view key, Node node);
    Node newInstance(uint64_t &uid);

    // The archive's tree, written when the encoding finishes.
    BinaryPlistWriter tree_;
    std::vector<Node> objects_;
    Node top_;
    Node current_;  // the dictionary the encode calls fill
    // The strings written, by their text: an open-addressed table of the
    // string's node and uid (0: free).
    struct StringSlot {
        Node node = 0;
        uint64_t uid = 0;
    };
    std::vector<StringSlot> strings_ = std::vector<StringSlot>(64);
    size_t stringCount_ = 0;
    std::map<std::string, uint64_t, std::less<>> classes_;
    std::map<const Object *, uint64_t> instances_;
    // Keeps every archived object alive until the end, so that an address
    // seen once is never reused by another object during the encoding.
    std::vector<std::shared_ptr<Object>> retained_;
    ErrorPtr error_;
    bool finished_ = false;
};

}  // namespace platform
