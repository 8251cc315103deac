// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/web/admission.h"

#include <cstring>

#include "exporter/log.h"
#include "exporter/web/basic_auth.h"
#include "exporter/web/respond.h"
#include "exporter/web/tls_policy.h"
#include "exporter/webconfig/webconfig.h"

// What a configuration that takes effect needs beyond itself: a new decoy and
// an empty cache for the password checks, and its client-certificate policy.
static bool apply(const web_config& config)
{
    set_client_policy(config.client_auth);
    return renew_basic_auth(config.users, config.user_count);
}

bool start_admission(const char* path, const char* user)
{
    if (!load_web_config(path, user))
        return false;
    const web_config* config = hold_web_config();
    bool tls = config->tls;
    bool applied = apply(*config);
    release_web_config();
    if (tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        log_message("invalid --web.config.file: %s: this libmicrohttpd was built without TLS", path);
        return false;
    }
    if (!applied) {
        log_message("cannot start: the system gives no random numbers for the password checks");
        return false;
    }
    return true;
}

void refresh_admission(bool wait)
{
    if (!refresh_web_config(wait))
        return;
    const web_config* config = hold_web_config();
    bool applied = apply(*config);
    release_web_config();
    if (!applied)
        log_message("the system gives no random numbers: the old decoy password hash stays");
}

bool admit_request(MHD_Connection* connection, MHD_Result* answer)
{
    if (!web_configured())
        return true;
    refresh_admission(true);
    const web_config* config = hold_web_config();
    int policy = config->client_auth;
    bool need_user = config->user_count > 0;
    bool tls = config->tls;
    release_web_config();
    if (tls && !client_certificate_allowed(connection, policy)) {
        *answer = MHD_NO;
        return false;
    }
    if (!need_user)
        return true;
    basic_credentials given;
    bool good = false;
    if (read_credentials(connection, &given)) {
        char hash[sizeof web_user::hash];
        bool known = false;
        const web_config* config = hold_web_config();
        for (size_t k = 0; k < config->user_count; k++)
            if (strcmp(config->users[k].name, given.name) == 0) {
                strcpy(hash, config->users[k].hash);
                known = true;
            }
        release_web_config();
        good = check_password(&given, known ? hash : nullptr) && known;
    }
    wipe_credentials(&given);
    if (good)
        return true;
    *answer = respond_text(connection, MHD_HTTP_UNAUTHORIZED, "Unauthorized\n");
    return false;
}
