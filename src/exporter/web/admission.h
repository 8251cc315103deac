// SPDX-License-Identifier: BSD-2-Clause
// Who may ask: the web configuration's client-certificate policy and users,
// applied to each request, and kept current as the configuration changes.
#pragma once

#include <microhttpd.h>

// Reads the web configuration at start (see load_web_config) and readies the
// password checks and the TLS policy for it. False after a diagnostic.
bool start_admission(const char* path, const char* user);

// Reads the web configuration again if its files changed, and applies what
// took effect. wait: as refresh_web_config's.
void refresh_admission(bool wait);

// Checks a request against the client-certificate policy and the users.
// False: the request is answered (or its connection dropped) as *answer says.
bool admit_request(MHD_Connection* connection, MHD_Result* answer);
