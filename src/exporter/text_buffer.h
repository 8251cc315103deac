// SPDX-License-Identifier: BSD-2-Clause
// A growing text buffer for one scrape's page. It is kept from scrape to
// scrape, so that a steady fleet of volumes stops allocating after the first.
#pragma once

#include <cstddef>

struct text_buffer {
    char* data;
    size_t used;
    size_t size;
    bool failed; // memory ran out: the text is incomplete
};

// Empties the buffer for a new page; the memory stays.
void clear_text(text_buffer* buffer);

void append_text(text_buffer* buffer, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Appends a label value in the text format's escaping. Bytes outside
// printable ASCII (the device's text fields may hold anything) become '?', so
// that the page is always valid UTF-8.
void append_label_value(text_buffer* buffer, const char* value);

void free_text(text_buffer* buffer);
