// SPDX-License-Identifier: BSD-2-Clause
// --web.config.file: TLS and basic authentication in the web configuration
// format of Prometheus's exporters, parsed (parse.cpp) and kept current
// (reload.cpp). The file is read at start, and again whenever it or a file it
// names changes, so that new users and certificates apply without a restart.
// Each file is a regular file of at most 1 MiB, with at most 1000 users.
// Nothing here knows the HTTP library: the web room applies what it reads.
#pragma once

#include <cstddef>

#include "exporter/webconfig/files.h"

// client_auth_type, in the order of its names.
enum client_auth { no_client_cert, verify_if_given, require_and_verify };

// The security headers exporters may set, in the order they are sent.
constexpr int header_count = 5;
extern const char* const web_header_names[header_count];

struct web_user {
    char name[256];
    char hash[64]; // bcrypt: 60 characters
};

// The files a configuration is read from: a change to any of them calls for
// a new read.
enum { config_file, cert_file, key_file, ca_file, watched_files };

// Bounds that keep a read short: a file's bytes (the configuration, or one
// PEM file), and the users.
constexpr size_t most_file_bytes = 1024 * 1024;
constexpr size_t most_users = 1000;

struct web_config {
    bool tls;
    char* cert; // PEM text, from the file or inline
    char* key;
    char* client_ca;
    char paths[watched_files][4096]; // "" where not used
    int client_auth;              // a client_auth
    int min_version, max_version; // 0 to 3: TLS 1.0 to 1.3
    web_user* users;
    size_t user_count;
    char* headers[header_count]; // null where not set
};

// Frees a configuration's parts, its key and every other text wiped first.
void free_config(web_config* config);

// The files of a read, and how they stood when read.
struct config_watch {
    char paths[watched_files][4096]; // "" where not used
    file_mark marks[watched_files];
};

// Reads and checks the file at path into *config; false with the reason in
// error. Either way *seen holds the files that the read went to, for the
// next look. reader, when not null, is the user the files are read as,
// named where one is refused to it.
bool read_web_config(const char* path, const char* reader, web_config* config,
                     config_watch* seen, char* error, size_t error_size);

// Reads and checks the file at start, as the metrics side: a file it cannot
// read stops the start. user: as read_web_config's reader. On error it logs
// why and returns false; the exporter then does not start.
bool load_web_config(const char* path, const char* user);

// Reads the files again when any changed since the last look. A file that no
// longer reads or checks is logged once and the configuration in force stays;
// that it reads again is logged once too. The reading is done outside the
// lock that requests take. wait: a request thread, which waits (briefly) for
// another thread's reading rather than go on with what is in force. True
// when a new configuration took effect.
bool refresh_web_config(bool wait);

// Whether a folder of the files was replaced by one that cannot be opened
// (in capability mode): the metrics side then ends, with status 1, so that the
// service manager starts the exporter again. Logged when found.
bool web_config_lost();

// Whether a web configuration is in force at all.
bool web_configured();

// Whether the server speaks TLS: decided at start, for the process's life.
bool web_tls();

// Counts the changes of the TLS material (certificate, key, client CAs,
// versions): the server starts again with the new material when it moves.
unsigned web_tls_generation();

// The configuration in force, for a short look: a reload that takes effect
// waits until it is let go. Null (and nothing to let go) without one.
const web_config* hold_web_config();
void release_web_config();
