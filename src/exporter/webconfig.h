// SPDX-License-Identifier: BSD-2-Clause
// --web.config.file: TLS and basic authentication in the web configuration
// format of Prometheus's exporters. The file is read at start, and again
// whenever it or a file it names changes, so that new users and certificates
// apply without a restart. Each file is a regular file of at most 1 MiB, with
// at most 1000 users.
#pragma once

#include <microhttpd.h>

// Reads and checks the file at start, as the process that serves HTTP: a
// file it cannot read stops the start. user, when not null, is the user it
// became, named where a file is refused to it. On error it prints why and
// returns false; the exporter then does not start.
bool load_web_config(const char* path, const char* user);

// Reads the files again when any changed since the last look. A file that no
// longer reads or checks is reported once and the configuration in force
// stays; that it reads again is reported once too. The reading is done outside the
// lock that requests take. wait: a request thread, which waits (briefly) for
// another thread's reading rather than go on with what is in force.
void refresh_web_config(bool wait);

// Whether the server speaks TLS: decided at start, for the process's life.
bool web_tls();

// Counts the changes of the TLS material (certificate, key, client CAs,
// versions): the server starts again with the new material when it moves.
unsigned web_tls_generation();

// The server's TLS options for MHD_OPTION_ARRAY, ended by MHD_OPTION_END (at
// once when TLS is off). The memory they point to stays valid until the
// second call after this one.
const MHD_OptionItem* web_tls_options();

// Checks a request against the client-certificate policy and the users.
// False: the request is answered (or its connection dropped) as *answer says.
bool admit_request(MHD_Connection* connection, MHD_Result* answer);

// Adds the configured http_server_config headers to a response.
void add_web_headers(MHD_Response* response);
