#pragma once
// The user defaults' merge: what a write puts in the file, decided from what
// the file holds (read under the lock), this process's changes not yet
// written, and the values this process made alone (loadOrStoreObject while
// another process held the lock), with no I/O. Only the keys this process
// changed are touched, so that another process's change is never undone. A
// value made alone over what the key held then yields to another value the
// file holds by now: that process made it first; over the very value it was
// made to replace, it is written. Internal to platform/foundation.
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform {

class UserDefaultsMerge {
public:
    // A key set (a value) or removed (nullopt) and not yet written.
    using Changes = std::map<std::string, std::optional<Value>>;
    // The keys of values made alone, with what each was made to replace
    // (null: nothing).
    using Made = std::map<std::string, Value>;

    struct Outcome {
        // What the file is to hold.
        Dictionary contents;
        // Whether that differs from what it holds (else nothing is written:
        // a key removed that was not there).
        bool differs = false;
        // What the file held for each key changed, in the order changed: a
        // change rolled back gets it back.
        std::vector<std::pair<std::string, std::optional<Value>>> before;
        // Keys whose made value yields to the file's.
        std::vector<std::string> yielded;
    };

    static Outcome merge(Dictionary onDisk, const Changes &changes, const Made &made);
    // One more change (a value made under the lock) on top of the outcome.
    static void change(Outcome &outcome, const std::string &key, const std::optional<Value> &value);
    // Puts back what the file held for the key; the outcome differs no
    // more when no change is left.
    static void rollBack(Outcome &outcome, const std::string &key);
    // Sets or removes the key; whether the dictionary changed.
    static bool apply(const std::string &key, const std::optional<Value> &value, Dictionary &dictionary);
};

}  // namespace platform
