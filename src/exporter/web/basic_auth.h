// SPDX-License-Identifier: BSD-2-Clause
// Basic authentication against bcrypt hashes, made cheap to serve and
// useless to flood: one bcrypt at a time for the whole process, a decoy of
// the users' highest cost for names nobody has, and successful checks
// remembered by an HMAC rather than in clear.
#pragma once

#include <cstddef>
#include <microhttpd.h>

#include "exporter/webconfig/webconfig.h"

// A request's name and password, decoded. Wipe with wipe_credentials.
struct basic_credentials {
    char name[sizeof web_user::name];
    char password[1024]; // bcrypt reads the first 72 bytes
};

// bcrypt's cost (log2 of its rounds) in a hash; -1 when it is not a bcrypt hash.
int bcrypt_cost(const char* hash);

// A hash that no known password matches, in the form and cost of the users'
// costliest (cost 10 when there is none), with a random salt: an unknown
// name then costs exactly what a known one does. False when the system gave
// no randomness.
bool make_decoy(const web_user* users, size_t count, char* out, size_t size);

// For the users of a configuration that takes effect: a new decoy, and every
// remembered check forgotten. The first call also makes the key that the
// remembered checks are kept under. False when the system gave no
// randomness: the old decoy then stays (the first call makes no key, and
// nothing is remembered).
bool renew_basic_auth(const web_user* users, size_t count);

// The name and password of the request's Authorization header. False when
// there is none, or it is not Basic, malformed, too long or holds a NUL byte.
bool read_credentials(MHD_Connection* connection, basic_credentials* out);

// The name and password of an Authorization header's text (null: none), as
// read_credentials takes them: with libmicrohttpd before 0.9.76, which does
// not decode the header itself, through this.
bool decode_basic_header(const char* header, basic_credentials* out);

void wipe_credentials(basic_credentials* credentials);

// Whether the password matches hash, the user's; hash null: the name is
// nobody's, and the decoy is checked for the time it takes. A wrong password
// takes as long as the decoy, whatever its user's cost. Safe from any
// thread; bcrypt rounds wait their turn.
bool check_password(const basic_credentials* given, const char* hash);
