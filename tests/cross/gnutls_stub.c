// SPDX-License-Identifier: BSD-2-Clause
/*
 * SPDX-License-Identifier: BSD-2-Clause
 * A link stub of GnuTLS for the FreeBSD cross build: the functions
 * volscan-exporter calls itself (libmicrohttpd does the rest), with the
 * library's own prototypes, built as libgnutls.so.30 like security/gnutls's.
 * Nothing here runs.
 */
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

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

int gnutls_certificate_verify_peers(gnutls_session_t session, gnutls_typed_vdata_st* data,
                                    unsigned int elements, unsigned int* status)
{
    (void)session, (void)data, (void)elements, (void)status;
    return GNUTLS_E_MEMORY_ERROR;
}

void gnutls_session_set_verify_function(gnutls_session_t session,
                                        gnutls_certificate_verify_function* func)
{
    (void)session, (void)func;
}

void gnutls_certificate_server_set_request(gnutls_session_t session,
                                           gnutls_certificate_request_t req)
{
    (void)session, (void)req;
}

int gnutls_hmac_fast(gnutls_mac_algorithm_t algorithm, const void* key, size_t keylen,
                     const void* text, size_t textlen, void* digest)
{
    (void)algorithm, (void)key, (void)keylen, (void)text, (void)textlen, (void)digest;
    return GNUTLS_E_MEMORY_ERROR;
}

int gnutls_rnd(gnutls_rnd_level_t level, void* data, size_t len)
{
    (void)level, (void)data, (void)len;
    return GNUTLS_E_RANDOM_FAILED;
}

int gnutls_memcmp(const void* s1, const void* s2, size_t n)
{
    (void)s1, (void)s2, (void)n;
    return 1;
}

void gnutls_memset(void* data, int c, size_t size)
{
    (void)data, (void)c, (void)size;
}

int gnutls_base64_decode2(const gnutls_datum_t* b64_data, gnutls_datum_t* result)
{
    (void)b64_data, (void)result;
    return GNUTLS_E_BASE64_DECODING_ERROR;
}

int gnutls_x509_crt_list_import2(gnutls_x509_crt_t** certs, unsigned int* size,
                                 const gnutls_datum_t* data, gnutls_x509_crt_fmt_t format,
                                 unsigned int flags)
{
    (void)certs, (void)size, (void)data, (void)format, (void)flags;
    return GNUTLS_E_MEMORY_ERROR;
}

void gnutls_x509_crt_deinit(gnutls_x509_crt_t cert)
{
    (void)cert;
}

/* The library's free is a variable, as its header declares it. */
gnutls_free_function gnutls_free;
