// SPDX-License-Identifier: BSD-2-Clause
// The TLS material of the web configuration as the server's options.
#pragma once

#include <microhttpd.h>

// Two sets of options at most are held: the serving server's, and a retired
// or starting one's.
constexpr int tls_option_sets = 2;

// The server's TLS options for MHD_OPTION_ARRAY, ended by MHD_OPTION_END (at
// once when TLS is off), made in set (0 or 1), which no running server may
// use. The memory they point to, which holds a copy of the key, stays valid
// until drop_tls_options(set) or the next call for the same set.
const MHD_OptionItem* web_tls_options(int set);

// Wipes and frees a set's copies of the TLS material once no server uses it.
void drop_tls_options(int set);
