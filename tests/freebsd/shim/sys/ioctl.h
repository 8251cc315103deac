// SPDX-License-Identifier: BSD-2-Clause
// FreeBSD's request numbers and declaration of ioctl, from the sysroot's own
// <sys/ioccom.h>, in place of Linux's <sys/ioctl.h>.
#pragma once
#include <sys/ioccom.h>
