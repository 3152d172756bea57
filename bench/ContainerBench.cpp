// The batch body of 50 logs: BCLogContainer::serializeLog against dumping the
// already built JSON array, which isolates turning the model into JSON.
#include <nlohmann/json.hpp>

#include "BCLogger.h"
#include "BenchLogs.h"
#include "RatioReporter.h"

namespace {

void Serialize_Container(benchmark::State &state) {
    auto batch = benchlogs::container(50);
    for (auto _ : state) benchmark::DoNotOptimize(batch.serializeLog());
}

void Serialize_DumpPrebuilt(benchmark::State &state) {
    auto batch = benchlogs::container(50);
    nlohmann::ordered_json body;
    body["logs"] = nlohmann::ordered_json::array();
    for (const auto &log : batch.logs())
        body["logs"].push_back(std::dynamic_pointer_cast<BCSerializableObject>(log)->serializeToDictionary());
    for (auto _ : state) benchmark::DoNotOptimize(body.dump());
}

}  // namespace

BENCHMARK(Serialize_Container)->Name("Serialize/BCLogContainer");
BENCHMARK(Serialize_DumpPrebuilt)->Name("Serialize/dump_prebuilt");

int main(int argc, char **argv) {
    BCLogger::setLogHandler(nullptr);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(std::map<std::string, std::string>{{"Serialize", "dump_prebuilt"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
