#include "platform/foundation/UserDefaultsMerge.h"

#include <algorithm>

namespace platform {

UserDefaultsMerge::Outcome UserDefaultsMerge::merge(Dictionary onDisk, const Changes &changes, const Made &made) {
    Outcome outcome;
    outcome.contents = std::move(onDisk);
    for (const auto &[key, value] : changes) {
        const auto over = made.find(key);
        const auto held = outcome.contents.find(key);
        if (over != made.end() && held != outcome.contents.end() && held->second != over->second) {
            outcome.yielded.push_back(key);
            continue;
        }
        change(outcome, key, value);
    }
    return outcome;
}

void UserDefaultsMerge::change(Outcome &outcome, const std::string &key, const std::optional<Value> &value) {
    const bool seen = std::any_of(outcome.before.begin(), outcome.before.end(),
                                  [&](const auto &entry) { return entry.first == key; });
    if (!seen) {
        auto it = outcome.contents.find(key);
        outcome.before.emplace_back(key,
                                    it != outcome.contents.end() ? std::optional<Value>(it->second) : std::nullopt);
    }
    outcome.differs = apply(key, value, outcome.contents) || outcome.differs;
}

void UserDefaultsMerge::rollBack(Outcome &outcome, const std::string &key) {
    outcome.differs = false;
    for (const auto &[changed, held] : outcome.before) {
        if (changed == key) apply(key, held, outcome.contents);
        // Whether any change is left: what the file holds is not written
        // again.
        auto it = outcome.contents.find(changed);
        const bool present = it != outcome.contents.end();
        if (present != held.has_value() || (present && it->second != *held)) outcome.differs = true;
    }
}

bool UserDefaultsMerge::apply(const std::string &key, const std::optional<Value> &value, Dictionary &dictionary) {
    if (!value) return dictionary.erase(key) != 0;
    auto [it, inserted] = dictionary.try_emplace(key, *value);
    if (inserted) return true;
    if (it->second == *value) return false;
    it->second = *value;
    return true;
}

}  // namespace platform
