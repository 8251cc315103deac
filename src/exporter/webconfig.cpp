// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/webconfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <gnutls/gnutls.h>
#include <pthread.h>
#include <strings.h>
#include <yaml.h>

#include "exporter/basic_auth.h"
#include "exporter/config_files.h"
#include "exporter/options.h"
#include "exporter/tls_policy.h"

namespace {

// The security headers exporters may set, in the order they are sent.
const char* const header_names[] = {"Content-Security-Policy", "X-Frame-Options",
                                    "X-Content-Type-Options", "X-XSS-Protection",
                                    "Strict-Transport-Security"};
constexpr int header_count = sizeof header_names / sizeof header_names[0];

using web_user = basic_user;

// The files a configuration is read from: a change to any of them calls for
// a new read.
enum { config_file, cert_file, key_file, ca_file, watched_files };

// Bounds that keep a read short: a file's bytes (the configuration, or one
// PEM file), and the users.
constexpr size_t most_file_bytes = 1024 * 1024;
constexpr size_t most_users = 1000;

struct web_config {
    bool tls;
    char* cert; // PEM text, from the file or inline
    char* key;
    char* client_ca;
    char paths[watched_files][4096]; // "" where not used
    int client_auth;
    int min_version, max_version; // 0 to 3: TLS 1.0 to 1.3
    web_user* users;
    size_t user_count;
    char* headers[header_count];
};

void free_config(web_config* config)
{
    free(config->cert);
    free(config->key);
    free(config->client_ca);
    free(config->users);
    for (char* value : config->headers)
        free(value);
    *config = web_config{};
}

// One read of the file: the configuration or why there is none.
struct reading {
    web_config config;
    file_mark marks[watched_files]; // of the files as they were read
    yaml_document_t document;
    char error[4600];
    const char* folder_end; // the file's folder, for relative paths
    const char* path;
};

// The HTTP side's user, named where a file is refused to it; null when the
// exporter did not change its user.
const char* reader;

bool fail(reading* r, const yaml_node_t* node, const char* format, const char* what)
{
    char text[4500];
    snprintf(text, sizeof text, format, what);
    if (node != nullptr)
        snprintf(r->error, sizeof r->error, "%s: line %zu: %s", r->path,
                 node->start_mark.line + 1, text);
    else
        snprintf(r->error, sizeof r->error, "%s: %s", r->path, text);
    return false;
}

const char* scalar(const yaml_node_t* node)
{
    return node != nullptr && node->type == YAML_SCALAR_NODE
        ? reinterpret_cast<const char*>(node->data.scalar.value)
        : nullptr;
}

bool is_null(const yaml_node_t* node)
{
    const char* text = scalar(node);
    return text != nullptr && node->data.scalar.style == YAML_PLAIN_SCALAR_STYLE
        && (text[0] == '\0' || strcmp(text, "~") == 0 || strcmp(text, "null") == 0
            || strcmp(text, "Null") == 0 || strcmp(text, "NULL") == 0);
}

// A mapping's pairs one by one, refusing a key seen twice.
struct pairs {
    yaml_node_pair_t* at;
    yaml_node_pair_t* end;
};

[[nodiscard]] bool open_mapping(reading* r, const yaml_node_t* node, const char* name, pairs* out)
{
    *out = pairs{};
    if (node == nullptr || is_null(node))
        return true;
    if (node->type != YAML_MAPPING_NODE)
        return fail(r, node, "%s must be a mapping", name);
    out->at = node->data.mapping.pairs.start;
    out->end = node->data.mapping.pairs.top;
    for (yaml_node_pair_t* a = out->at; a < out->end; a++) {
        const char* key = scalar(yaml_document_get_node(&r->document, a->key));
        if (key == nullptr)
            return fail(r, yaml_document_get_node(&r->document, a->key), "a key in %s is not text",
                        name);
        for (yaml_node_pair_t* b = out->at; b < a; b++)
            if (strcmp(key, scalar(yaml_document_get_node(&r->document, b->key))) == 0)
                return fail(r, yaml_document_get_node(&r->document, a->key), "%s appears twice",
                            key);
    }
    return true;
}

// The next key and value of a mapping opened with open_mapping; false at its end.
bool next_pair(reading* r, pairs* p, const yaml_node_t** key, const yaml_node_t** value)
{
    if (p->at >= p->end)
        return false;
    *key = yaml_document_get_node(&r->document, p->at->key);
    *value = yaml_document_get_node(&r->document, p->at->value);
    p->at++;
    return true;
}

[[nodiscard]] bool text_value(reading* r, const yaml_node_t* node, const char* key,
                              const char** value)
{
    *value = scalar(node);
    if (*value == nullptr)
        return fail(r, node, "%s must be text", key);
    return true;
}

[[nodiscard]] bool bool_value(reading* r, const yaml_node_t* node, const char* key, bool* value)
{
    const char* text = scalar(node);
    for (const char* word : {"true", "True", "TRUE"})
        if (text != nullptr && strcmp(text, word) == 0)
            return *value = true;
    for (const char* word : {"false", "False", "FALSE"})
        if (text != nullptr && strcmp(text, word) == 0) {
            *value = false;
            return true;
        }
    return fail(r, node, "%s must be true or false", key);
}

// Settings this server cannot honour are refused rather than ignored; an
// empty list or null asks for nothing and passes.
[[nodiscard]] bool refuse_unless_empty(reading* r, const yaml_node_t* node, const char* key,
                                       const char* why)
{
    if (is_null(node) || (node->type == YAML_SEQUENCE_NODE
                          && node->data.sequence.items.start == node->data.sequence.items.top))
        return true;
    char text[300];
    snprintf(text, sizeof text, "%s is not supported: %s", key, why);
    return fail(r, node, "%s", text);
}

// A whole file's contents, or null with the reason in r.
char* read_whole(reading* r, const yaml_node_t* node, int slot)
{
    const char* path = r->config.paths[slot];
    char error[4400];
    char* text = read_config_file(path, most_file_bytes, &r->marks[slot], error, sizeof error);
    if (text == nullptr) {
        bool refused = errno == EACCES;
        fail(r, node, "%s", error);
        if (refused && reader != nullptr) {
            size_t used = strlen(r->error);
            snprintf(r->error + used, sizeof r->error - used,
                     " (the HTTP side reads it as user %s)", reader);
        }
    }
    return text;
}

// A path as the file names it: relative to the file's own folder.
[[nodiscard]] bool resolve(reading* r, const yaml_node_t* node, const char* value, char* out)
{
    int folder = value[0] == '/' ? 0 : static_cast<int>(r->folder_end - r->path);
    if (snprintf(out, 4096, "%.*s%s", folder, r->path, value) >= 4096)
        return fail(r, node, "%s: path too long", value);
    return true;
}

// PEM material given either as a file or inline, not both.
[[nodiscard]] bool material(reading* r, const yaml_node_t* file_node, const yaml_node_t* inline_node,
                            const char* name, int slot, char** out)
{
    if (file_node != nullptr && inline_node != nullptr) {
        char text[100];
        snprintf(text, sizeof text, "both %s_file and %s are set: use one", name, name);
        return fail(r, inline_node, "%s", text);
    }
    const char* value;
    if (inline_node != nullptr) {
        if (!text_value(r, inline_node, name, &value))
            return false;
        *out = strdup(value);
        return *out != nullptr || fail(r, nullptr, "%s", "out of memory");
    }
    if (file_node == nullptr)
        return true;
    if (!text_value(r, file_node, name, &value) || !resolve(r, file_node, value, r->config.paths[slot]))
        return false;
    *out = read_whole(r, file_node, slot);
    return *out != nullptr;
}

[[nodiscard]] bool tls_version(reading* r, const yaml_node_t* node, const char* key, int* version)
{
    const char* text = scalar(node);
    static const char* const names[] = {"TLS10", "TLS11", "TLS12", "TLS13"};
    for (int k = 0; k < 4; k++)
        if (text != nullptr && strcmp(text, names[k]) == 0) {
            *version = k;
            return true;
        }
    char why[100];
    snprintf(why, sizeof why, "%s must be TLS10, TLS11, TLS12 or TLS13", key);
    return fail(r, node, "%s", why);
}

// The certificate and key must load together, and the CAs parse, now rather
// than when a client first connects.
[[nodiscard]] bool check_material(reading* r)
{
    gnutls_certificate_credentials_t credentials;
    if (gnutls_certificate_allocate_credentials(&credentials) < 0)
        return fail(r, nullptr, "%s", "out of memory");
    auto datum = [](char* text) {
        return gnutls_datum_t{reinterpret_cast<unsigned char*>(text),
                              static_cast<unsigned>(strlen(text))};
    };
    gnutls_datum_t cert = datum(r->config.cert), key = datum(r->config.key);
    int result = gnutls_certificate_set_x509_key_mem(credentials, &cert, &key, GNUTLS_X509_FMT_PEM);
    bool good = result >= 0;
    if (!good)
        fail(r, nullptr, "the TLS certificate and key do not load: %s", gnutls_strerror(result));
    if (good && r->config.client_ca != nullptr) {
        gnutls_datum_t ca = datum(r->config.client_ca);
        result = gnutls_certificate_set_x509_trust_mem(credentials, &ca, GNUTLS_X509_FMT_PEM);
        good = result > 0;
        if (!good)
            fail(r, nullptr, "the client CAs hold no certificate: %s",
                 result < 0 ? gnutls_strerror(result) : "none found");
    }
    gnutls_certificate_free_credentials(credentials);
    return good;
}

[[nodiscard]] bool read_tls(reading* r, const yaml_node_t* node)
{
    pairs p;
    if (!open_mapping(r, node, "tls_server_config", &p))
        return false;
    web_config& c = r->config;
    c.tls = true;
    c.min_version = 2;
    c.max_version = 3;
    const yaml_node_t *cert_file_node = nullptr, *cert_node = nullptr, *key_file_node = nullptr,
                      *key_node = nullptr, *ca_file_node = nullptr, *ca_node = nullptr;
    const char* auth = "NoClientCert";
    const yaml_node_t *key_of, *value;
    while (next_pair(r, &p, &key_of, &value)) {
        const char* key = scalar(key_of);
        bool ignored;
        if (strcmp(key, "cert_file") == 0)
            cert_file_node = value;
        else if (strcmp(key, "cert") == 0)
            cert_node = value;
        else if (strcmp(key, "key_file") == 0)
            key_file_node = value;
        else if (strcmp(key, "key") == 0)
            key_node = value;
        else if (strcmp(key, "client_ca_file") == 0)
            ca_file_node = value;
        else if (strcmp(key, "client_ca") == 0)
            ca_node = value;
        else if (strcmp(key, "client_auth_type") == 0) {
            if (!text_value(r, value, key, &auth))
                return false;
        } else if (strcmp(key, "min_version") == 0) {
            if (!tls_version(r, value, key, &c.min_version))
                return false;
        } else if (strcmp(key, "max_version") == 0) {
            if (!tls_version(r, value, key, &c.max_version))
                return false;
        } else if (strcmp(key, "client_allowed_sans") == 0) {
            if (!refuse_unless_empty(r, value, key, "any client the CAs vouch for is let in"))
                return false;
        } else if (strcmp(key, "cipher_suites") == 0) {
            if (!refuse_unless_empty(r, value, key, "the TLS library's own choice applies"))
                return false;
        } else if (strcmp(key, "curve_preferences") == 0) {
            if (!refuse_unless_empty(r, value, key, "the TLS library's own choice applies"))
                return false;
        } else if (strcmp(key, "prefer_server_cipher_suites") == 0) {
            // The server's order always applies (see tls_priorities).
            if (!bool_value(r, value, key, &ignored))
                return false;
            if (!ignored)
                return fail(r, value, "%s: false is not supported", key);
        } else
            return fail(r, key_of, "unknown key %s in tls_server_config", key);
    }
    static const char* const policies[] = {"NoClientCert", "VerifyClientCertIfGiven",
                                           "RequireAndVerifyClientCert"};
    c.client_auth = -1;
    for (int k = 0; k < 3; k++)
        if (strcmp(auth, policies[k]) == 0)
            c.client_auth = k;
    if (c.client_auth < 0)
        return fail(r, nullptr,
                    "client_auth_type %s is not supported (NoClientCert, VerifyClientCertIfGiven "
                    "or RequireAndVerifyClientCert)",
                    auth);
    if (cert_file_node == nullptr && cert_node == nullptr)
        return fail(r, node, "%s", "tls_server_config needs cert_file or cert");
    if (key_file_node == nullptr && key_node == nullptr)
        return fail(r, node, "%s", "tls_server_config needs key_file or key");
    if (!material(r, cert_file_node, cert_node, "cert", cert_file, &c.cert)
        || !material(r, key_file_node, key_node, "key", key_file, &c.key)
        || !material(r, ca_file_node, ca_node, "client_ca", ca_file, &c.client_ca))
        return false;
    if (c.client_auth != no_client_cert && c.client_ca == nullptr)
        return fail(r, node, "client_auth_type %s needs client_ca_file or client_ca", auth);
    if (c.client_auth == no_client_cert && c.client_ca != nullptr)
        return fail(r, node, "%s",
                    "client CAs are set but client_auth_type is NoClientCert: set "
                    "RequireAndVerifyClientCert");
    if (c.min_version > c.max_version)
        return fail(r, node, "%s", "min_version is above max_version");
    return check_material(r);
}

[[nodiscard]] bool read_http(reading* r, const yaml_node_t* node)
{
    pairs p;
    if (!open_mapping(r, node, "http_server_config", &p))
        return false;
    const yaml_node_t *key_of, *value;
    while (next_pair(r, &p, &key_of, &value)) {
        const char* key = scalar(key_of);
        if (strcmp(key, "http2") == 0) {
            bool http2;
            if (!bool_value(r, value, key, &http2))
                return false;
            if (http2)
                return fail(r, value, "%s", "http2: true is not supported: the server speaks HTTP/1.1");
        } else if (strcmp(key, "headers") == 0) {
            pairs h;
            if (!open_mapping(r, value, "headers", &h))
                return false;
            const yaml_node_t *name_of, *text_of;
            while (next_pair(r, &h, &name_of, &text_of)) {
                const char* name = scalar(name_of);
                const char* text;
                if (!text_value(r, text_of, name, &text))
                    return false;
                int k = 0;
                while (k < header_count && strcasecmp(name, header_names[k]) != 0)
                    k++;
                if (k == header_count)
                    return fail(r, name_of, "header %s cannot be set", name);
                if (strpbrk(text, "\r\n") != nullptr)
                    return fail(r, name_of, "header %s holds a line break", name);
                r->config.headers[k] = strdup(text);
                if (r->config.headers[k] == nullptr)
                    return fail(r, nullptr, "%s", "out of memory");
            }
        } else
            return fail(r, key_of, "unknown key %s in http_server_config", key);
    }
    return true;
}

[[nodiscard]] bool read_users(reading* r, const yaml_node_t* node)
{
    pairs p;
    if (!open_mapping(r, node, "basic_auth_users", &p))
        return false;
    size_t count = p.end - p.at;
    if (count == 0)
        return true;
    if (count > most_users) {
        char why[100];
        snprintf(why, sizeof why, "more than %zu users", most_users);
        return fail(r, node, "%s", why);
    }
    r->config.users = static_cast<web_user*>(calloc(count, sizeof(web_user)));
    if (r->config.users == nullptr)
        return fail(r, nullptr, "%s", "out of memory");
    const yaml_node_t *key_of, *value;
    while (next_pair(r, &p, &key_of, &value)) {
        const char* name = scalar(key_of);
        const char* hash;
        if (!text_value(r, value, name, &hash))
            return false;
        // The name goes into a header's user:password, which splits at the first colon.
        if (name[0] == '\0' || strchr(name, ':') != nullptr || strlen(name) >= sizeof(web_user::name))
            return fail(r, key_of, "user name \"%s\" is empty, too long or holds a colon", name);
        bool bcrypt = strlen(hash) == 60 && hash[0] == '$' && hash[1] == '2'
            && strchr("aby", hash[2]) != nullptr && hash[3] == '$';
        if (!bcrypt)
            return fail(r, value, "the password of %s is not a bcrypt hash ($2y$, $2b$ or $2a$)",
                        name);
        web_user& user = r->config.users[r->config.user_count++];
        strcpy(user.name, name);
        strcpy(user.hash, hash);
    }
    return true;
}

[[nodiscard]] bool read_config(reading* r, const char* text, size_t length)
{
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser))
        return fail(r, nullptr, "%s", "out of memory");
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text), length);
    if (!yaml_parser_load(&parser, &r->document)) {
        char why[300];
        snprintf(why, sizeof why, "line %zu: %s", parser.problem_mark.line + 1,
                 parser.problem ? parser.problem : "not YAML");
        yaml_parser_delete(&parser);
        r->document = yaml_document_t{};
        return fail(r, nullptr, "%s", why);
    }
    yaml_parser_delete(&parser);
    yaml_node_t* root = yaml_document_get_root_node(&r->document);
    pairs p;
    if (!open_mapping(r, root, "the file", &p))
        return false;
    const yaml_node_t *key_of, *value;
    while (next_pair(r, &p, &key_of, &value)) {
        const char* key = scalar(key_of);
        bool good;
        if (strcmp(key, "tls_server_config") == 0)
            good = is_null(value) || read_tls(r, value);
        else if (strcmp(key, "http_server_config") == 0)
            good = read_http(r, value);
        else if (strcmp(key, "basic_auth_users") == 0)
            good = read_users(r, value);
        else if (strcmp(key, "rate_limit") == 0)
            good = is_null(value) || fail(r, value, "%s", "rate_limit is not supported");
        else
            good = fail(r, key_of, "unknown key %s", key);
        if (!good)
            return false;
    }
    return true;
}

// The files of the last read, and how they stood when read.
struct watch {
    char paths[watched_files][4096]; // "" where not used
    file_mark marks[watched_files];
};

// Reads path into *config; false with the reason in error. Either way *seen
// holds the files that the read went to, for the next look.
bool read_web_config(const char* path, web_config* config, watch* seen, char* error,
                     size_t error_size)
{
    reading r{};
    r.path = path;
    const char* slash = strrchr(path, '/');
    r.folder_end = slash ? slash + 1 : path;
    snprintf(r.config.paths[config_file], sizeof r.config.paths[config_file], "%s", path);
    char* text = read_whole(&r, nullptr, config_file);
    bool good = text != nullptr && read_config(&r, text, strlen(text));
    free(text);
    yaml_document_delete(&r.document);
    memcpy(seen->paths, r.config.paths, sizeof seen->paths);
    memcpy(seen->marks, r.marks, sizeof seen->marks);
    if (!good) {
        free_config(&r.config);
        snprintf(error, error_size, "%s", r.error);
        return false;
    }
    *config = r.config;
    return true;
}

// The configuration in force, and what the handler threads share: held only
// to read it or to put a new one in its place.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
web_config current;
unsigned tls_generation;

// The one thread at a time that looks at the files and reads them again,
// outside the lock; the state below is its own.
pthread_mutex_t reload_lock = PTHREAD_MUTEX_INITIALIZER;
const char* config_path;
watch watched;
char reported[4600]; // why the files last failed to read, once told; "" when they read

bool same_text(const char* a, const char* b)
{
    return (a == nullptr && b == nullptr) || (a != nullptr && b != nullptr && strcmp(a, b) == 0);
}

bool same_tls(const web_config& a, const web_config& b)
{
    return same_text(a.cert, b.cert) && same_text(a.key, b.key)
        && same_text(a.client_ca, b.client_ca) && a.min_version == b.min_version
        && a.max_version == b.max_version;
}

} // namespace

bool load_web_config(const char* path, const char* user)
{
    reader = user;
    char error[sizeof reported];
    if (!read_web_config(path, &current, &watched, error, sizeof error)) {
        report("invalid --web.config.file: %s", error);
        return false;
    }
    if (current.tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        report("invalid --web.config.file: %s: this libmicrohttpd was built without TLS", path);
        return false;
    }
    if (!renew_basic_auth(current.users, current.user_count)) {
        report("cannot start: the system gives no random numbers for the password checks");
        return false;
    }
    set_client_policy(current.client_auth);
    config_path = path;
    return true;
}

// Takes the reload lock for a request thread: it waits while another thread
// reads the files, so that a change applies from the next request, but never
// for long.
static bool take_reload_lock(bool wait)
{
    if (!wait)
        return pthread_mutex_trylock(&reload_lock) == 0;
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 2;
    return pthread_mutex_timedlock(&reload_lock, &until) == 0;
}

void refresh_web_config(bool wait)
{
    if (config_path == nullptr || !take_reload_lock(wait))
        return;
    bool changed = false;
    for (int k = 0; k < watched_files && !changed; k++) {
        file_mark now;
        if (watched.paths[k][0] != '\0')
            mark_config_file(watched.paths[k], &now);
        else
            now = file_mark{};
        changed = !same_mark(now, watched.marks[k]);
    }
    web_config fresh;
    char error[sizeof reported];
    bool good = changed && read_web_config(config_path, &fresh, &watched, error, sizeof error);
    if (good && fresh.tls != current.tls) {
        snprintf(error, sizeof error, "%s: turning TLS on or off needs a restart", config_path);
        free_config(&fresh);
        good = false;
    }
    if (changed && !good) {
        // The same fault is told once, however often the file is touched.
        if (strcmp(error, reported) != 0)
            report("cannot read --web.config.file again, keeping the configuration in force: %s",
                   error);
        snprintf(reported, sizeof reported, "%s", error);
    } else if (good) {
        if (reported[0] != '\0')
            report("--web.config.file %s reads again", config_path);
        reported[0] = '\0';
        // Only this thread changes current: reading it without the lock is safe.
        bool new_tls = !same_tls(fresh, current);
        web_config old = current;
        pthread_mutex_lock(&lock);
        current = fresh;
        if (new_tls)
            tls_generation++;
        pthread_mutex_unlock(&lock);
        free_config(&old);
        if (!renew_basic_auth(current.users, current.user_count))
            report("the system gives no random numbers: the old decoy password hash stays");
        set_client_policy(current.client_auth);
    }
    pthread_mutex_unlock(&reload_lock);
}

bool web_tls()
{
    return current.tls;
}

unsigned web_tls_generation()
{
    pthread_mutex_lock(&lock);
    unsigned generation = tls_generation;
    pthread_mutex_unlock(&lock);
    return generation;
}

const MHD_OptionItem* web_tls_options()
{
    // Two sets: the server that is being replaced may still hold the older.
    static MHD_OptionItem items[2][6];
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
    pthread_mutex_lock(&lock);
    if (current.tls) {
        held[turn][0] = strdup(current.cert);
        held[turn][1] = strdup(current.key);
        held[turn][2] = current.client_ca ? strdup(current.client_ca) : nullptr;
        tls_priorities(current.min_version, current.max_version, priorities[turn],
                       sizeof priorities[turn]);
        out[n++] = MHD_OptionItem{MHD_OPTION_HTTPS_MEM_CERT, 0, held[turn][0]};
        out[n++] = MHD_OptionItem{MHD_OPTION_HTTPS_MEM_KEY, 0, held[turn][1]};
        out[n++] = MHD_OptionItem{MHD_OPTION_HTTPS_PRIORITIES, 0, priorities[turn]};
        // With client CAs the server asks every client for its certificate,
        // and the policy is applied in the handshake.
        if (held[turn][2] != nullptr) {
            out[n++] = MHD_OptionItem{MHD_OPTION_HTTPS_MEM_TRUST, 0, held[turn][2]};
            out[n++] = MHD_OptionItem{MHD_OPTION_NOTIFY_CONNECTION,
                                      reinterpret_cast<intptr_t>(&tls_connection_notice), nullptr};
        }
    }
    pthread_mutex_unlock(&lock);
    out[n] = MHD_OptionItem{MHD_OPTION_END, 0, nullptr};
    return out;
}

namespace {

MHD_Result send_plain(MHD_Connection* connection, unsigned status, const char* text, bool challenge)
{
    MHD_Response* response = MHD_create_response_from_buffer(
        strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    add_web_headers(response);
    MHD_Result queued = challenge
        ? MHD_queue_basic_auth_fail_response(connection, "volscan-exporter", response)
        : MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

bool admit_request(MHD_Connection* connection, MHD_Result* answer)
{
    if (config_path == nullptr)
        return true;
    refresh_web_config(true);
    pthread_mutex_lock(&lock);
    int policy = current.client_auth;
    bool need_user = current.user_count > 0;
    pthread_mutex_unlock(&lock);
    if (current.tls && !client_certificate_allowed(connection, policy)) {
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
        pthread_mutex_lock(&lock);
        for (size_t k = 0; k < current.user_count; k++)
            if (strcmp(current.users[k].name, given.name) == 0) {
                strcpy(hash, current.users[k].hash);
                known = true;
            }
        pthread_mutex_unlock(&lock);
        good = check_password(&given, known ? hash : nullptr) && known;
    }
    wipe_credentials(&given);
    if (good)
        return true;
    *answer = send_plain(connection, MHD_HTTP_UNAUTHORIZED, "Unauthorized\n", true);
    return false;
}

void add_web_headers(MHD_Response* response)
{
    if (config_path == nullptr)
        return;
    pthread_mutex_lock(&lock);
    for (int k = 0; k < header_count; k++)
        if (current.headers[k] != nullptr)
            MHD_add_response_header(response, header_names[k], current.headers[k]);
    pthread_mutex_unlock(&lock);
}
