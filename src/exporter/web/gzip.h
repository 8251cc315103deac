// SPDX-License-Identifier: BSD-2-Clause
// gzip for the HTTP answers: Prometheus asks for it with every scrape.
#pragma once

#include <cstddef>

#include "exporter/text_buffer.h"

// Whether an Accept-Encoding header's value admits gzip (a null value: no).
bool accepts_gzip(const char* accept_encoding);

// Compresses length bytes of data into out, which is emptied first and whose
// memory is kept for the next call. False when memory ran out.
bool gzip_text(const char* data, size_t length, text_buffer* out);
