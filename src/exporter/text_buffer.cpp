// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/text_buffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void clear_text(text_buffer* buffer)
{
    buffer->used = 0;
    buffer->failed = false;
}

static bool reserve(text_buffer* buffer, size_t more)
{
    if (buffer->failed)
        return false;
    if (buffer->used + more < buffer->size)
        return true;
    size_t size = buffer->size ? buffer->size : 64 * 1024;
    while (buffer->used + more >= size)
        size *= 2;
    char* data = static_cast<char*>(realloc(buffer->data, size));
    if (data == nullptr) {
        buffer->failed = true;
        return false;
    }
    buffer->data = data;
    buffer->size = size;
    return true;
}

void append_text(text_buffer* buffer, const char* format, ...)
{
    for (;;) {
        if (!reserve(buffer, 0))
            return;
        va_list args;
        va_start(args, format);
        size_t room = buffer->size - buffer->used;
        int length = vsnprintf(buffer->data + buffer->used, room, format, args);
        va_end(args);
        if (length < 0) {
            buffer->failed = true;
            return;
        }
        if (static_cast<size_t>(length) < room) {
            buffer->used += length;
            return;
        }
        if (!reserve(buffer, length + 1))
            return;
    }
}

void append_label_value(text_buffer* buffer, const char* value)
{
    for (const char* c = value; *c; c++) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if (!reserve(buffer, 3))
            return;
        if (byte == '\\' || byte == '"') {
            buffer->data[buffer->used++] = '\\';
            buffer->data[buffer->used++] = static_cast<char>(byte);
        } else {
            buffer->data[buffer->used++] = byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '?';
        }
    }
    buffer->data[buffer->used] = '\0';
}

void free_text(text_buffer* buffer)
{
    free(buffer->data);
    *buffer = text_buffer{};
}
