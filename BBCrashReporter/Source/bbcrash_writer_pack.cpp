// The report writer's protobuf encoder. Crash-path code: it allocates
// nothing, takes no lock and logs nothing; values are copied out of their
// (possibly unaligned) storage with the engine's own memcpy.
#include "bbcrash_writer_pack.h"

#include "bbcrash_async.h"

#include <cstdlib>

namespace {

// `value` as a base-128 varint into `out` (at most 10 bytes); returns its
// length.
size_t encodeVarint(uint64_t value, uint8_t *out) {
    size_t n = 0;
    do {
        uint8_t byte = value & 0x7f;
        value >>= 7;
        if (value != 0) {
            byte |= 0x80;
        }
        out[n++] = byte;
    } while (value != 0);
    return n;
}

size_t emit(bbcrash_async_file *file, const void *data, size_t length) {
    if (file != nullptr) {
        bbcrash_async_file_write(file, data, length);
    }
    return length;
}

}  // namespace

size_t bbcrash_writer_pack(bbcrash_async_file *file, uint32_t field_id, int type, const void *value) {
    uint8_t key[10];
    uint8_t payload[10];
    size_t payloadLength = 0;
    const void *data = nullptr;  // bytes that follow the payload (strings, bytes)
    size_t dataLength = 0;
    uint32_t wire = 0;

    switch (type) {
    case BBCRASH_PROTOBUF_TYPE_INT32: {
        int32_t v;
        bbcrash_async_memcpy(&v, value, sizeof(v));
        payloadLength = encodeVarint(static_cast<uint64_t>(static_cast<int64_t>(v)), payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_SINT32: {
        int32_t v;
        bbcrash_async_memcpy(&v, value, sizeof(v));
        uint32_t zigzag = (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31);
        payloadLength = encodeVarint(zigzag, payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_SFIXED32:
    case BBCRASH_PROTOBUF_TYPE_FIXED32:
    case BBCRASH_PROTOBUF_TYPE_FLOAT:
        wire = 5;
        bbcrash_async_memcpy(payload, value, 4);
        payloadLength = 4;
        break;
    case BBCRASH_PROTOBUF_TYPE_INT64:
    case BBCRASH_PROTOBUF_TYPE_UINT64: {
        uint64_t v;
        bbcrash_async_memcpy(&v, value, sizeof(v));
        payloadLength = encodeVarint(v, payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_SINT64: {
        int64_t v;
        bbcrash_async_memcpy(&v, value, sizeof(v));
        uint64_t zigzag = (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
        payloadLength = encodeVarint(zigzag, payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_SFIXED64:
    case BBCRASH_PROTOBUF_TYPE_FIXED64:
    case BBCRASH_PROTOBUF_TYPE_DOUBLE:
        wire = 1;
        bbcrash_async_memcpy(payload, value, 8);
        payloadLength = 8;
        break;
    case BBCRASH_PROTOBUF_TYPE_UINT32:
    case BBCRASH_PROTOBUF_TYPE_ENUM: {
        uint32_t v;
        bbcrash_async_memcpy(&v, value, sizeof(v));
        payloadLength = encodeVarint(v, payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_BOOL:
        bbcrash_async_memcpy(payload, value, 1);
        payloadLength = 1;
        break;
    case BBCRASH_PROTOBUF_TYPE_STRING: {
        wire = 2;
        const char *text = static_cast<const char *>(value);
        while (text[dataLength] != '\0') {
            ++dataLength;
        }
        data = text;
        payloadLength = encodeVarint(dataLength, payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_BYTES: {
        wire = 2;
        const auto *bytes = static_cast<const bbcrash_writer_bytes *>(value);
        data = bytes->data;
        dataLength = bytes->len;
        payloadLength = encodeVarint(static_cast<uint32_t>(bytes->len), payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_MESSAGE: {
        wire = 2;
        uint32_t length;
        bbcrash_async_memcpy(&length, value, sizeof(length));
        payloadLength = encodeVarint(length, payload);
        break;
    }
    default: abort();
    }

    size_t keyLength = encodeVarint((static_cast<uint64_t>(field_id) << 3) | wire, key);
    emit(file, key, keyLength);
    emit(file, payload, payloadLength);
    if (dataLength > 0) {
        emit(file, data, dataLength);
    }
    return keyLength + payloadLength + dataLength;
}
