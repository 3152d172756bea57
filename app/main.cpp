// Plotwick's entry point. For now it only starts, says so and exits; the
// launch sequence that starts the telemetry and crash reporting follows.
#include <cstdio>

int main() {
    std::fprintf(stderr, "Plotwick started\n");
    return 0;
}
