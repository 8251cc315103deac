// SPDX-License-Identifier: BSD-2-Clause
/*
 * SPDX-License-Identifier: BSD-2-Clause
 * A link stub of the base system's libcrypt for the FreeBSD cross build,
 * built as libcrypt.so.5, with the prototype of FreeBSD's <unistd.h>.
 * Nothing here runs.
 */
#include <unistd.h>

char* crypt_r(const char* key, const char* salt, struct crypt_data* data)
{
    (void)key, (void)salt, (void)data;
    return 0;
}
