// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/web/tls_policy.h"

#include <atomic>
#include <cstdio>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

namespace {

std::atomic<int> client_policy{no_client_cert};

// The chain up to the client CAs, and the leaf's extended key usage, if it
// has one, naming client authentication: a certificate the CA issued for a
// server is no key to this one.
bool certificate_passes(gnutls_session_t session, int policy)
{
    if (policy == no_client_cert)
        return true;
    unsigned count = 0;
    if (gnutls_certificate_get_peers(session, &count) == nullptr || count == 0)
        return policy == verify_if_given;
    static const char client_purpose[] = GNUTLS_KP_TLS_WWW_CLIENT;
    gnutls_typed_vdata_st purpose{
        GNUTLS_DT_KEY_PURPOSE_OID,
        reinterpret_cast<unsigned char*>(const_cast<char*>(client_purpose)), 0};
    unsigned status = 0;
    return gnutls_certificate_verify_peers(session, &purpose, 1, &status) >= 0 && status == 0;
}

// Runs inside the handshake, once the client's certificate (or its absence)
// is known: a refusal sends the client an alert before any HTTP is read.
int verify_in_handshake(gnutls_session_t session)
{
    return certificate_passes(session, client_policy.load()) ? 0 : GNUTLS_E_CERTIFICATE_ERROR;
}

} // namespace

bool tls_priorities(int min_version, int max_version, char* out, size_t size)
{
    static const char* const versions[] = {"+VERS-TLS1.0", "+VERS-TLS1.1", "+VERS-TLS1.2",
                                           "+VERS-TLS1.3"};
    // TLS 1.3 has only ECDHE and AEAD suites of its own; for TLS 1.2 the key
    // exchange and cipher lists leave the ECDHE-with-AEAD suites, and
    // versions below it have none at all. GnuTLS follows the client's order
    // unless told to prefer the server's.
    size_t used = snprintf(out, size, "NORMAL:-VERS-ALL");
    for (int k = min_version; k <= max_version && used < size; k++)
        used += snprintf(out + used, size - used, ":%s", versions[k]);
    if (used < size)
        used += snprintf(out + used, size - used,
                         ":-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA"
                         ":-CIPHER-ALL:+AES-256-GCM:+CHACHA20-POLY1305:+AES-128-GCM"
                         ":-MAC-ALL:+AEAD:%%SERVER_PRECEDENCE");
    return used < size;
}

void set_client_policy(int policy)
{
    client_policy.store(policy);
}

void tls_connection_notice(void*, MHD_Connection* connection, void**,
                           MHD_ConnectionNotificationCode code)
{
    int policy = client_policy.load();
    if (code != MHD_CONNECTION_NOTIFY_STARTED || policy == no_client_cert)
        return;
    // libmicrohttpd has made the session but not yet begun its handshake.
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr || info->tls_session == nullptr)
        return; // client_certificate_allowed still refuses the request
    gnutls_session_t session = static_cast<gnutls_session_t>(info->tls_session);
    gnutls_session_set_verify_function(session, &verify_in_handshake);
    // libmicrohttpd only asks for a certificate; with none, GnuTLS itself
    // then ends the handshake.
    if (policy == require_and_verify)
        gnutls_certificate_server_set_request(session, GNUTLS_CERT_REQUIRE);
}

bool client_certificate_allowed(MHD_Connection* connection, int policy)
{
    if (policy == no_client_cert)
        return true;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr)
        return false;
    return certificate_passes(static_cast<gnutls_session_t>(info->tls_session), policy);
}
