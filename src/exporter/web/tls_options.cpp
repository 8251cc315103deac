// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/web/tls_options.h"

#include <cstdlib>
#include <cstring>

#include "exporter/web/tls_policy.h"
#include "exporter/webconfig/webconfig.h"

const MHD_OptionItem* web_tls_options()
{
    // Two sets: the server that is being replaced may still hold the older.
    static MHD_OptionItem items[2][5];
    static char* held[2][3];
    static char priorities[2][tls_priorities_size];
    static int turn;
    turn ^= 1;
    for (char*& text : held[turn]) {
        free(text);
        text = nullptr;
    }
    MHD_OptionItem* out = items[turn];
    int n = 0;
    const web_config* config = hold_web_config();
    if (config != nullptr && config->tls) {
        const web_config& current = *config;
        held[turn][0] = strdup(current.cert);
        held[turn][1] = strdup(current.key);
        held[turn][2] = current.client_ca ? strdup(current.client_ca) : nullptr;
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
