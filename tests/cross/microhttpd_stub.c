// SPDX-License-Identifier: BSD-2-Clause
/*
 * A link stub of libmicrohttpd for the FreeBSD cross build: the functions
 * volscan-exporter calls, with the library's own prototypes (its header),
 * built as libmicrohttpd.so.12 like www/libmicrohttpd's. Nothing here runs;
 * it lets the exporter link for FreeBSD so that its needs can be checked.
 * A function the exporter starts to call is added here.
 */
#include <microhttpd.h>

struct MHD_Daemon* MHD_start_daemon(unsigned int flags, uint16_t port,
                                    MHD_AcceptPolicyCallback apc, void* apc_cls,
                                    MHD_AccessHandlerCallback dh, void* dh_cls, ...)
{
    (void)flags, (void)port, (void)apc, (void)apc_cls, (void)dh, (void)dh_cls;
    return 0;
}

void MHD_stop_daemon(struct MHD_Daemon* daemon)
{
    (void)daemon;
}

enum MHD_Result MHD_queue_response(struct MHD_Connection* connection, unsigned int status_code,
                                   struct MHD_Response* response)
{
    (void)connection, (void)status_code, (void)response;
    return MHD_NO;
}

struct MHD_Response* MHD_create_response_from_buffer(size_t size, void* buffer,
                                                     enum MHD_ResponseMemoryMode mode)
{
    (void)size, (void)buffer, (void)mode;
    return 0;
}

void MHD_destroy_response(struct MHD_Response* response)
{
    (void)response;
}

enum MHD_Result MHD_add_response_header(struct MHD_Response* response, const char* header,
                                        const char* content)
{
    (void)response, (void)header, (void)content;
    return MHD_NO;
}

enum MHD_Result MHD_is_feature_supported(enum MHD_FEATURE feature)
{
    (void)feature;
    return MHD_NO;
}

const char* MHD_lookup_connection_value(struct MHD_Connection* connection, enum MHD_ValueKind kind,
                                        const char* key)
{
    (void)connection, (void)kind, (void)key;
    return 0;
}

const union MHD_ConnectionInfo* MHD_get_connection_info(struct MHD_Connection* connection,
                                                        enum MHD_ConnectionInfoType info_type, ...)
{
    (void)connection, (void)info_type;
    return 0;
}

enum MHD_Result MHD_queue_basic_auth_fail_response(struct MHD_Connection* connection,
                                                   const char* realm, struct MHD_Response* response)
{
    (void)connection, (void)realm, (void)response;
    return MHD_NO;
}

void MHD_free(void* ptr)
{
    (void)ptr;
}

MHD_socket MHD_quiesce_daemon(struct MHD_Daemon* daemon)
{
    (void)daemon;
    return MHD_INVALID_SOCKET;
}

const union MHD_DaemonInfo* MHD_get_daemon_info(struct MHD_Daemon* daemon,
                                                enum MHD_DaemonInfoType info_type, ...)
{
    (void)daemon, (void)info_type;
    return 0;
}
