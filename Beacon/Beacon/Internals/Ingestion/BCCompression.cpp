// gzip compression of request bodies with zlib.
#include "BCCompression.h"

#include <zlib.h>

#include "BCLogger.h"

namespace {
constexpr const char *kLogTag = "Beacon";
}

std::optional<platform::Data> BCCompression::compressData(const std::optional<platform::Data> &data) {
    if (!data || data->empty()) return std::nullopt;
    z_stream stream{};
    // Window bits 31: a 15-bit window with a gzip header and trailer.
    int result = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    if (result != Z_OK) {
        const char *reason = result == Z_VERSION_ERROR  ? "Version of zlib.h & libz library do not match!"
                             : result == Z_MEM_ERROR    ? "Not enough memory."
                             : result == Z_STREAM_ERROR ? "Invalid parameter passed in to function."
                                                        : "Unknown error!";
        BCLogError(kLogTag, "Compression failed with error: %@", reason);
        return std::nullopt;
    }
    platform::Data output(static_cast<size_t>(static_cast<double>(data->size()) * 1.01 + 12));
    stream.next_in = const_cast<Bytef *>(data->data());
    stream.avail_in = static_cast<uInt>(data->size());
    do {
        stream.next_out = output.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
        result = deflate(&stream, Z_FINISH);
    } while (result == Z_OK);
    if (result != Z_STREAM_END) {
        const char *reason = result == Z_STREAM_ERROR ? "Inconsistent stream state."
                             : result == Z_BUF_ERROR  ? "No progress is possible."
                                                      : "Unknown error!";
        BCLogError(kLogTag, "Deflate failed with error: %@", reason);
        deflateEnd(&stream);
        return std::nullopt;
    }
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}
