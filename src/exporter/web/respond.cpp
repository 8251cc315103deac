// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/web/respond.h"

#include <cstring>

#include "exporter/webconfig/webconfig.h"

MHD_Result respond(MHD_Connection* connection, unsigned status, const char* type, const char* body,
                   size_t length)
{
    MHD_Response* response =
        MHD_create_response_from_buffer(length, const_cast<char*>(body), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    add_web_headers(response);
    MHD_Result queued = status == MHD_HTTP_UNAUTHORIZED
        ? MHD_queue_basic_auth_fail_response(connection, "volscan-exporter", response)
        : MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result respond_text(MHD_Connection* connection, unsigned status, const char* text)
{
    return respond(connection, status, "text/plain; charset=utf-8", text, strlen(text));
}

void add_web_headers(MHD_Response* response)
{
    const web_config* config = hold_web_config();
    if (config == nullptr)
        return;
    for (int k = 0; k < header_count; k++)
        if (config->headers[k] != nullptr)
            MHD_add_response_header(response, web_header_names[k], config->headers[k]);
    release_web_config();
}
