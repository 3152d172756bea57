// platform::format with a fuzzed format text and one argument of each kind
// (signed, unsigned, real, text, nil) taken from the input, repeated.
#include <vector>

#include "FuzzInput.h"
#include "platform/foundation/Format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::FuzzInput in(data, size);
    std::vector<platform::FormatArg> args;
    args.emplace_back(in.take<int64_t>());
    args.emplace_back(in.take<uint64_t>());
    args.emplace_back(in.take<double>());
    args.emplace_back(in.text(16));
    args.emplace_back(nullptr);
    size_t kinds = args.size();
    for (size_t i = 0; i < 3 * kinds; ++i) args.push_back(args[i % kinds]);
    (void)platform::formatArgs(in.rest(), args);
    return 0;
}
