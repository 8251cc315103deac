// SPDX-License-Identifier: BSD-2-Clause
// Every answer the server sends goes out through here, with the headers of
// the web configuration's http_server_config.
#pragma once

#include <cstddef>
#include <microhttpd.h>

// Queues an answer: body (copied) of the given media type. 405 names the
// methods allowed; 401 asks for Basic credentials.
MHD_Result respond(MHD_Connection* connection, unsigned status, const char* type, const char* body,
                   size_t length);

// A plain-text answer.
MHD_Result respond_text(MHD_Connection* connection, unsigned status, const char* text);

// Adds the configured http_server_config headers to a response.
void add_web_headers(MHD_Response* response);
