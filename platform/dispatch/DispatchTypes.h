#pragma once
// Types and time helpers shared by the dispatch stand-in.
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>

namespace platform::dispatch {

// A unit of work. An empty block is ignored wherever one is accepted.
using Block = std::function<void()>;

// Priorities of the global concurrent queues, numbered as dispatch numbers them.
enum class Priority : int {
    High = 2,
    Default = 0,
    Low = -2,
    Background = -32768,
};

// A timeout that never expires.
inline constexpr double kForever = std::numeric_limits<double>::infinity();

using Clock = std::chrono::steady_clock;

// The point in time `seconds` from now, or nothing for "never" (an infinite
// value). Zero, negative and NaN values mean "now". Very large finite values
// are clamped to about a century so the arithmetic cannot overflow.
inline std::optional<Clock::time_point> deadlineAfter(double seconds) {
    if (std::isinf(seconds) && seconds > 0) {
        return std::nullopt;
    }
    const Clock::time_point now = Clock::now();
    if (!(seconds > 0)) {
        return now;
    }
    constexpr double kMaxSeconds = 100.0 * 365 * 24 * 3600;
    const double clamped = seconds < kMaxSeconds ? seconds : kMaxSeconds;
    return now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(clamped));
}

inline std::optional<Clock::time_point> deadlineAfter(std::chrono::nanoseconds delay) {
    if (delay == std::chrono::nanoseconds::max()) {
        return std::nullopt;
    }
    return deadlineAfter(std::chrono::duration<double>(delay).count());
}

}  // namespace platform::dispatch
