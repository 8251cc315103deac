// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>

// Turns a fixed-width, space-padded text field of the device into a new
// NUL-terminated string: leading spaces go, trailing spaces and NULs go,
// everything between stays as it is. Returns nullptr, with errno set, when
// memory runs out. Readers stop at the first NUL, so text after an inner NUL
// is never used.
char* trim_field(const char* field, size_t width);

// Copies text into a fixed field of size bytes, cut short where it does not
// fit; the field always ends in NUL.
void copy_field(char* to, size_t size, const char* from);
