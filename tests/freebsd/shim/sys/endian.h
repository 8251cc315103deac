// SPDX-License-Identifier: BSD-2-Clause
// FreeBSD's <dev/nvme/nvme.h> on Linux: what it takes from <sys/endian.h> and
// its neighbours in FreeBSD's <sys/cdefs.h> and <sys/param.h>.
#pragma once
#include <endian.h>
#define _Static_assert static_assert
#define __packed __attribute__((packed))
#define __aligned(n) __attribute__((aligned(n)))
#define __unused __attribute__((unused))
#define SPECNAMELEN 255
