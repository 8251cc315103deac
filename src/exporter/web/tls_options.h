// SPDX-License-Identifier: BSD-2-Clause
// The TLS material of the web configuration as the server's options.
#pragma once

#include <microhttpd.h>

// The server's TLS options for MHD_OPTION_ARRAY, ended by MHD_OPTION_END (at
// once when TLS is off). The memory they point to stays valid until the
// second call after this one.
const MHD_OptionItem* web_tls_options();
