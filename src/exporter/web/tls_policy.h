// SPDX-License-Identifier: BSD-2-Clause
// What the exporter's TLS server accepts: the cipher suites it offers, and
// which client certificates let a connection finish its handshake.
#pragma once

#include <cstddef>
#include <microhttpd.h>

#include "exporter/webconfig/webconfig.h"

// GnuTLS's priority string for TLS versions min to max (0 to 3: TLS 1.0 to
// 1.3): forward-secret key exchange and AEAD ciphers only, in the server's
// order. False when it does not fit in size; tls_priorities_size holds it
// for any versions.
bool tls_priorities(int min_version, int max_version, char* out, size_t size);
constexpr size_t tls_priorities_size = 256;

// The policy for the handshakes from now on (a client_auth). Safe from any thread.
void set_client_policy(int policy);

// For MHD_OPTION_NOTIFY_CONNECTION: prepares a new connection's TLS session
// so that a client certificate the policy refuses ends the handshake.
void tls_connection_notice(void* unused, MHD_Connection* connection, void** socket_context,
                           MHD_ConnectionNotificationCode code);

// Whether the client's certificate passes the policy on an established
// connection: signed by the client CAs and fit for client authentication.
bool client_certificate_allowed(MHD_Connection* connection, int policy);
