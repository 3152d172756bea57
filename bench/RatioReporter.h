#pragma once
// Prints, after the usual table, the time per iteration of every benchmark
// named "group/variant" as a ratio to its group's baseline variant measured
// in the same run (above 1: slower than the baseline).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // The variant each group is compared with.
    explicit RatioReporter(std::map<std::string, std::string> baselines) : baselines_(std::move(baselines)) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &run : runs) {
            if (run.error_occurred || run.iterations == 0 || run.run_type != Run::RT_Iteration) continue;
            std::string name = run.benchmark_name();
            auto slash = name.find('/');
            if (slash == std::string::npos) continue;
            std::string group = name.substr(0, slash);
            std::string variant = name.substr(slash + 1);
            auto cut = variant.find('/');
            if (cut != std::string::npos) variant = variant.substr(0, cut);
            double perIteration = run.real_accumulated_time / static_cast<double>(run.iterations);
            if (!times_[group].count(variant)) order_[group].push_back(variant);
            times_[group][variant] = perIteration;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nTime per operation as a ratio to the baseline of its group:\n");
        for (const auto &[group, variants] : order_) {
            auto baseline = baselines_.find(group);
            if (baseline == baselines_.end() || !times_[group].count(baseline->second)) continue;
            double base = times_[group][baseline->second];
            std::printf("  %s (baseline %s, %.3f ms)\n", group.c_str(), baseline->second.c_str(), base * 1e3);
            for (const auto &variant : variants)
                std::printf("    %-28s %9.3f ms  %6.2fx\n", variant.c_str(), times_[group][variant] * 1e3,
                            times_[group][variant] / base);
        }
    }

private:
    std::map<std::string, std::string> baselines_;
    std::map<std::string, std::map<std::string, double>> times_;
    std::map<std::string, std::vector<std::string>> order_;
};
