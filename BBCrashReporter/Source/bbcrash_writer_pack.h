#pragma once
// The protobuf encoder of the report writer: one field at a time, by hand,
// into a bbcrash_async_file or, with a null file, nowhere, so that a message
// is sized by running its code without a file and then run again to write
// it. No message is built in memory.
//
// Crash-path code: no allocation, no locks, no logging.
#include "bbcrash_async_file.h"

#include <cstddef>
#include <cstdint>

// Protobuf field types, numbered as protobuf-c numbers them.
enum bbcrash_writer_type : int {
    BBCRASH_PROTOBUF_TYPE_INT32 = 0,
    BBCRASH_PROTOBUF_TYPE_SINT32 = 1,
    BBCRASH_PROTOBUF_TYPE_SFIXED32 = 2,
    BBCRASH_PROTOBUF_TYPE_INT64 = 3,
    BBCRASH_PROTOBUF_TYPE_SINT64 = 4,
    BBCRASH_PROTOBUF_TYPE_SFIXED64 = 5,
    BBCRASH_PROTOBUF_TYPE_UINT32 = 6,
    BBCRASH_PROTOBUF_TYPE_FIXED32 = 7,
    BBCRASH_PROTOBUF_TYPE_UINT64 = 8,
    BBCRASH_PROTOBUF_TYPE_FIXED64 = 9,
    BBCRASH_PROTOBUF_TYPE_FLOAT = 10,
    BBCRASH_PROTOBUF_TYPE_DOUBLE = 11,
    BBCRASH_PROTOBUF_TYPE_BOOL = 12,
    BBCRASH_PROTOBUF_TYPE_ENUM = 13,
    BBCRASH_PROTOBUF_TYPE_STRING = 14,
    BBCRASH_PROTOBUF_TYPE_BYTES = 15,
    BBCRASH_PROTOBUF_TYPE_MESSAGE = 16,
};

// The value of a bytes field.
struct bbcrash_writer_bytes {
    size_t len;
    const void *data;
};

// Encodes one field into `file` (or nowhere, when null) and returns its size
// in bytes. For BBCRASH_PROTOBUF_TYPE_MESSAGE the value is the body's
// uint32_t length and only the key and the length are written. `value`
// points at the field's value: a NUL-terminated text for strings, a
// bbcrash_writer_bytes for bytes. A type above 16 stops the process.
size_t bbcrash_writer_pack(bbcrash_async_file *file, uint32_t field_id, int type, const void *value);

// The typed forms the writer uses.

inline size_t bbcrash_writer_pack_string(bbcrash_async_file *file, uint32_t field_id, const char *text) {
    return bbcrash_writer_pack(file, field_id, BBCRASH_PROTOBUF_TYPE_STRING, text);
}

inline size_t bbcrash_writer_pack_bytes(bbcrash_async_file *file, uint32_t field_id, size_t length, const void *data) {
    bbcrash_writer_bytes bytes{length, data};
    return bbcrash_writer_pack(file, field_id, BBCRASH_PROTOBUF_TYPE_BYTES, &bytes);
}

inline size_t bbcrash_writer_pack_uint64(bbcrash_async_file *file, uint32_t field_id, uint64_t value) {
    return bbcrash_writer_pack(file, field_id, BBCRASH_PROTOBUF_TYPE_UINT64, &value);
}

inline size_t bbcrash_writer_pack_int64(bbcrash_async_file *file, uint32_t field_id, int64_t value) {
    return bbcrash_writer_pack(file, field_id, BBCRASH_PROTOBUF_TYPE_INT64, &value);
}

inline size_t bbcrash_writer_pack_uint32(bbcrash_async_file *file, uint32_t field_id, uint32_t value) {
    return bbcrash_writer_pack(file, field_id, BBCRASH_PROTOBUF_TYPE_UINT32, &value);
}

inline size_t bbcrash_writer_pack_enum(bbcrash_async_file *file, uint32_t field_id, uint32_t value) {
    return bbcrash_writer_pack(file, field_id, BBCRASH_PROTOBUF_TYPE_ENUM, &value);
}

inline size_t bbcrash_writer_pack_bool(bbcrash_async_file *file, uint32_t field_id, bool value) {
    return bbcrash_writer_pack(file, field_id, BBCRASH_PROTOBUF_TYPE_BOOL, &value);
}

// Key and length of an embedded message whose body is `size` bytes.
inline size_t bbcrash_writer_pack_message_header(bbcrash_async_file *file, uint32_t field_id, size_t size) {
    uint32_t length = static_cast<uint32_t>(size);
    return bbcrash_writer_pack(file, field_id, BBCRASH_PROTOBUF_TYPE_MESSAGE, &length);
}

// An embedded message whose body `body(file)` writes and returns the size
// of: sized without a file, then written. Returns the field's whole size.
template <typename Body>
size_t bbcrash_writer_pack_message(bbcrash_async_file *file, uint32_t field_id, Body body) {
    const size_t size = body(nullptr);
    const size_t header = bbcrash_writer_pack_message_header(file, field_id, size);
    if (file != nullptr) {
        body(file);
    }
    return header + size;
}
