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
    // The variant each group is compared with, and optionally a second one
    // whose ratio is printed beside the first.
    explicit RatioReporter(std::map<std::string, std::string> baselines,
                           std::map<std::string, std::string> secondBaselines = {})
        : baselines_(std::move(baselines)), secondBaselines_(std::move(secondBaselines)) {}

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
            auto second = secondBaselines_.find(group);
            double secondBase = 0;
            if (second != secondBaselines_.end() && times_[group].count(second->second))
                secondBase = times_[group][second->second];
            if (secondBase > 0) {
                std::printf("  %s (baseline %s, %.3f ms; second column: %s, %.3f ms)\n", group.c_str(),
                            baseline->second.c_str(), base * 1e3, second->second.c_str(), secondBase * 1e3);
            } else {
                std::printf("  %s (baseline %s, %.3f ms)\n", group.c_str(), baseline->second.c_str(), base * 1e3);
            }
            for (const auto &variant : variants) {
                std::printf("    %-28s %9.3f ms  %6.2fx", variant.c_str(), times_[group][variant] * 1e3,
                            times_[group][variant] / base);
                if (secondBase > 0) std::printf("  %6.2fx", times_[group][variant] / secondBase);
                std::printf("\n");
            }
        }
    }

private:
    std::map<std::string, std::string> baselines_;
    std::map<std::string, std::string> secondBaselines_;
    std::map<std::string, std::map<std::string, double>> times_;
    std::map<std::string, std::vector<std::string>> order_;
};
