// gzip of a 50-log batch body: BCCompression against bare zlib with the same
// settings.
#include <zlib.h>

#include "BCCompression.h"
#include "BCLogger.h"
#include "BenchLogs.h"
#include "RatioReporter.h"

namespace {

const platform::Data &body() {
    static const platform::Data data = [] {
        auto text = *benchlogs::container(50).serializeLog();
        return platform::Data(text.begin(), text.end());
    }();
    return data;
}

void Compress_BCCompression(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(BCCompression::compressData(body()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body().size()));
}

void Compress_Zlib(benchmark::State &state) {
    for (auto _ : state) {
        z_stream stream{};
        deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
        platform::Data out(deflateBound(&stream, body().size()));
        stream.next_in = const_cast<Bytef *>(body().data());
        stream.avail_in = static_cast<uInt>(body().size());
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        deflate(&stream, Z_FINISH);
        out.resize(stream.total_out);
        deflateEnd(&stream);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body().size()));
}

}  // namespace

BENCHMARK(Compress_BCCompression)->Name("Compress/BCCompression");
BENCHMARK(Compress_Zlib)->Name("Compress/zlib");

int main(int argc, char **argv) {
    BCLogger::setLogHandler(nullptr);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(std::map<std::string, std::string>{{"Compress", "zlib"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
