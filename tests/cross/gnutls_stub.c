// SPDX-License-Identifier: BSD-2-Clause
/*
 * SPDX-License-Identifier: BSD-2-Clause
 * A link stub of GnuTLS for the FreeBSD cross build: the functions
 * volscan-exporter calls itself (libmicrohttpd does the rest), with the
 * library's own prototypes, built as libgnutls.so.30 like security/gnutls's.
 * Nothing here runs.
 */
#include <gnutls/gnutls.h>

int gnutls_certificate_allocate_credentials(gnutls_certificate_credentials_t* res)
{
    (void)res;
    return GNUTLS_E_MEMORY_ERROR;
}

void gnutls_certificate_free_credentials(gnutls_certificate_credentials_t sc)
{
    (void)sc;
}

int gnutls_certificate_set_x509_key_mem(gnutls_certificate_credentials_t res,
                                        const gnutls_datum_t* cert, const gnutls_datum_t* key,
                                        gnutls_x509_crt_fmt_t type)
{
    (void)res, (void)cert, (void)key, (void)type;
    return GNUTLS_E_MEMORY_ERROR;
}

int gnutls_certificate_set_x509_trust_mem(gnutls_certificate_credentials_t res,
                                          const gnutls_datum_t* ca, gnutls_x509_crt_fmt_t type)
{
    (void)res, (void)ca, (void)type;
    return GNUTLS_E_MEMORY_ERROR;
}

const gnutls_datum_t* gnutls_certificate_get_peers(gnutls_session_t session,
                                                   unsigned int* list_size)
{
    (void)session, (void)list_size;
    return 0;
}

int gnutls_certificate_verify_peers2(gnutls_session_t session, unsigned int* status)
{
    (void)session, (void)status;
    return GNUTLS_E_MEMORY_ERROR;
}

const char* gnutls_strerror(int error)
{
    (void)error;
    return "";
}
