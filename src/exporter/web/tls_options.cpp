// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/web/tls_options.h"

#include <cstdlib>
#include <cstring>
#include <gnutls/gnutls.h>

#include "exporter/web/tls_policy.h"
#include "exporter/webconfig/webconfig.h"

namespace {

MHD_OptionItem items[tls_option_sets][5];
char* held[tls_option_sets][3]; // certificate, key, client CAs
char priorities[tls_option_sets][tls_priorities_size];

char* copy(const char* text)
{
    return text != nullptr ? strdup(text) : nullptr;
}

} // namespace

void drop_tls_options(int set)
{
    if (set < 0 || set >= tls_option_sets)
        return;
    for (char*& text : held[set]) {
        if (text != nullptr)
            gnutls_memset(text, 0, strlen(text));
        free(text);
        text = nullptr;
    }
}

const MHD_OptionItem* web_tls_options(int set)
{
    int turn = set & 1;
    drop_tls_options(turn);
    MHD_OptionItem* out = items[turn];
    int n = 0;
    const web_config* config = hold_web_config();
    if (config != nullptr && config->tls) {
        const web_config& current = *config;
        held[turn][0] = copy(current.cert);
        held[turn][1] = copy(current.key);
        held[turn][2] = copy(current.client_ca);
        tls_priorities(current.min_version, current.max_version, priorities[turn],
                       sizeof priorities[turn]);
        out[n++] = MHD_OptionItem{MHD_OPTION_HTTPS_MEM_CERT, 0, held[turn][0]};
        out[n++] = MHD_OptionItem{MHD_OPTION_HTTPS_MEM_KEY, 0, held[turn][1]};
        out[n++] = MHD_OptionItem{MHD_OPTION_HTTPS_PRIORITIES, 0, priorities[turn]};
        // With client CAs the server asks every client for its certificate;
        // the policy is applied in the handshake (tls_connection_notice).
        if (held[turn][2] != nullptr)
            out[n++] = MHD_OptionItem{MHD_OPTION_HTTPS_MEM_TRUST, 0, held[turn][2]};
    }
    if (config != nullptr)
        release_web_config();
    out[n] = MHD_OptionItem{MHD_OPTION_END, 0, nullptr};
    return out;
}
