// SPDX-License-Identifier: BSD-2-Clause
#include "nvme/trim_field.h"

#include <cstdlib>
#include <cstring>

char* trim_field(const char* field, size_t width)
{
    size_t begin = 0;
    while (begin < width && field[begin] == ' ')
        begin++;
    size_t end = width;
    while (end > begin && (field[end - 1] == ' ' || field[end - 1] == '\0'))
        end--;
    char* text = static_cast<char*>(malloc(end - begin + 1));
    if (text == nullptr)
        return nullptr;
    memcpy(text, field + begin, end - begin);
    text[end - begin] = '\0';
    return text;
}

void copy_field(char* to, size_t size, const char* from)
{
    size_t length = strnlen(from, size - 1);
    memcpy(to, from, length);
    to[length] = '\0';
}
