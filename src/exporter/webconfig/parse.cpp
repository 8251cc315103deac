// SPDX-License-Identifier: BSD-2-Clause
// The web configuration's YAML, read into a web_config: every key checked,
// every setting this server cannot honour refused, the TLS material loaded
// once to see that it loads.
#include "exporter/webconfig/webconfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <strings.h>
#include <yaml.h>

const char* const web_header_names[header_count] = {
    "Content-Security-Policy", "X-Frame-Options", "X-Content-Type-Options", "X-XSS-Protection",
    "Strict-Transport-Security"};

namespace {

void free_wiped(char* text)
{
    if (text != nullptr)
        gnutls_memset(text, 0, strlen(text));
    free(text);
}

} // namespace

void free_config(web_config* config)
{
    free_wiped(config->cert);
    free_wiped(config->key);
    free_wiped(config->client_ca);
    if (config->users != nullptr)
        gnutls_memset(config->users, 0, config->user_count * sizeof(web_user));
    free(config->users);
    for (char* value : config->headers)
        free_wiped(value);
    *config = web_config{};
}

namespace {

// One read of the file: the configuration or why there is none.
struct parse_state {
    web_config config;
    file_mark marks[watched_files]; // of the files as they were read
    yaml_document_t document;
    char error[4600];
    const char* folder_end; // the file's folder, for relative paths
    const char* path;
    const char* reader; // the user the file is read as, named where it is refused; or null
};


bool fail(parse_state* state, const yaml_node_t* node, const char* format, const char* what)
{
    char text[4500];
    snprintf(text, sizeof text, format, what);
    if (node != nullptr)
        snprintf(state->error, sizeof state->error, "%s: line %zu: %s", state->path,
                 node->start_mark.line + 1, text);
    else
        snprintf(state->error, sizeof state->error, "%s: %s", state->path, text);
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

// Keys ordered by their text, and the earlier in the file first among equal
// ones: a key seen twice then follows its first.
int by_text(const void* a, const void* b)
{
    const yaml_node_t* x = *static_cast<const yaml_node_t* const*>(a);
    const yaml_node_t* y = *static_cast<const yaml_node_t* const*>(b);
    int order = strcmp(scalar(x), scalar(y));
    if (order != 0)
        return order;
    return x->start_mark.index < y->start_mark.index ? -1 : x->start_mark.index > y->start_mark.index;
}

// most: the most pairs the mapping may have, checked before anything else.
[[nodiscard]] bool open_mapping(parse_state* state, const yaml_node_t* node, const char* name,
                                pairs* out, size_t most = 64)
{
    *out = pairs{};
    if (node == nullptr || is_null(node))
        return true;
    if (node->type != YAML_MAPPING_NODE)
        return fail(state, node, "%s must be a mapping", name);
    out->at = node->data.mapping.pairs.start;
    out->end = node->data.mapping.pairs.top;
    size_t count = out->end - out->at;
    if (count > most) {
        char why[200];
        snprintf(why, sizeof why, "%s has more than %zu entries", name, most);
        return fail(state, node, "%s", why);
    }
    const yaml_node_t** keys = static_cast<const yaml_node_t**>(calloc(count + 1, sizeof *keys));
    if (keys == nullptr)
        return fail(state, nullptr, "%s", "out of memory");
    bool good = true;
    for (size_t k = 0; k < count && good; k++) {
        keys[k] = yaml_document_get_node(&state->document, out->at[k].key);
        if (scalar(keys[k]) == nullptr)
            good = fail(state, keys[k], "a key in %s is not text", name);
    }
    if (good)
        qsort(keys, count, sizeof *keys, by_text);
    // The key seen twice that comes first in the file is the one named.
    const yaml_node_t* twice = nullptr;
    for (size_t k = 1; k < count && good; k++)
        if (strcmp(scalar(keys[k - 1]), scalar(keys[k])) == 0
            && (twice == nullptr || keys[k]->start_mark.index < twice->start_mark.index))
            twice = keys[k];
    free(keys);
    if (good && twice != nullptr)
        return fail(state, twice, "%s appears twice", scalar(twice));
    return good;
}

// The next key and value of a mapping opened with open_mapping; false at its end.
bool next_pair(parse_state* state, pairs* p, const yaml_node_t** key, const yaml_node_t** value)
{
    if (p->at >= p->end)
        return false;
    *key = yaml_document_get_node(&state->document, p->at->key);
    *value = yaml_document_get_node(&state->document, p->at->value);
    p->at++;
    return true;
}

[[nodiscard]] bool text_value(parse_state* state, const yaml_node_t* node, const char* key,
                              const char** value)
{
    *value = scalar(node);
    if (*value == nullptr)
        return fail(state, node, "%s must be text", key);
    return true;
}

[[nodiscard]] bool bool_value(parse_state* state, const yaml_node_t* node, const char* key, bool* value)
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
    return fail(state, node, "%s must be true or false", key);
}

// Settings this server cannot honour are refused rather than ignored; an
// empty list or null asks for nothing and passes.
[[nodiscard]] bool refuse_unless_empty(parse_state* state, const yaml_node_t* node, const char* key,
                                       const char* why)
{
    if (is_null(node) || (node->type == YAML_SEQUENCE_NODE
                          && node->data.sequence.items.start == node->data.sequence.items.top))
        return true;
    char text[300];
    snprintf(text, sizeof text, "%s is not supported: %s", key, why);
    return fail(state, node, "%s", text);
}

// A whole file's contents, or null with the reason in state.
char* read_whole(parse_state* state, const yaml_node_t* node, int slot)
{
    const char* path = state->config.paths[slot];
    char error[4400];
    char* text = read_config_file(path, most_file_bytes, &state->marks[slot], error, sizeof error);
    if (text == nullptr) {
        bool refused = errno == EACCES;
        fail(state, node, "%s", error);
        if (refused && state->reader != nullptr) {
            size_t used = strlen(state->error);
            snprintf(state->error + used, sizeof state->error - used,
                     " (the metrics side reads it as user %s)", state->reader);
        }
    }
    return text;
}

// A path as the file names it: relative to the file's own folder.
[[nodiscard]] bool resolve(parse_state* state, const yaml_node_t* node, const char* value, char* out)
{
    int folder = value[0] == '/' ? 0 : static_cast<int>(state->folder_end - state->path);
    if (snprintf(out, 4096, "%.*s%s", folder, state->path, value) >= 4096)
        return fail(state, node, "%s: path too long", value);
    return true;
}

// PEM material given either as a file or inline, not both.
[[nodiscard]] bool material(parse_state* state, const yaml_node_t* file_node, const yaml_node_t* inline_node,
                            const char* name, int slot, char** out)
{
    if (file_node != nullptr && inline_node != nullptr) {
        char text[100];
        snprintf(text, sizeof text, "both %s_file and %s are set: use one", name, name);
        return fail(state, inline_node, "%s", text);
    }
    const char* value;
    if (inline_node != nullptr) {
        if (!text_value(state, inline_node, name, &value))
            return false;
        *out = strdup(value);
        return *out != nullptr || fail(state, nullptr, "%s", "out of memory");
    }
    if (file_node == nullptr)
        return true;
    if (!text_value(state, file_node, name, &value) || !resolve(state, file_node, value, state->config.paths[slot]))
        return false;
    *out = read_whole(state, file_node, slot);
    return *out != nullptr;
}

[[nodiscard]] bool tls_version(parse_state* state, const yaml_node_t* node, const char* key, int* version)
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
    return fail(state, node, "%s", why);
}

// The certificate and key must load together, and the CAs parse, now rather
// than when a client first connects.
[[nodiscard]] bool check_material(parse_state* state)
{
    gnutls_certificate_credentials_t credentials;
    if (gnutls_certificate_allocate_credentials(&credentials) < 0)
        return fail(state, nullptr, "%s", "out of memory");
    auto datum = [](char* text) {
        return gnutls_datum_t{reinterpret_cast<unsigned char*>(text),
                              static_cast<unsigned>(strlen(text))};
    };
    gnutls_datum_t cert = datum(state->config.cert), key = datum(state->config.key);
    // A certificate whose PEM text or content does not decode is refused
    // here: GnuTLS's loader keeps memory of its own on those paths, which a
    // file broken again and again would pile up.
    gnutls_x509_crt_t* chain = nullptr;
    unsigned chain_length = 0;
    int result = gnutls_x509_crt_list_import2(&chain, &chain_length, &cert, GNUTLS_X509_FMT_PEM, 0);
    if (result >= 0) {
        for (unsigned k = 0; k < chain_length; k++)
            gnutls_x509_crt_deinit(chain[k]);
        gnutls_free(chain);
        result = gnutls_certificate_set_x509_key_mem(credentials, &cert, &key, GNUTLS_X509_FMT_PEM);
    }
    bool good = result >= 0;
    if (!good)
        fail(state, nullptr, "the TLS certificate and key do not load: %s", gnutls_strerror(result));
    if (good && state->config.client_ca != nullptr) {
        gnutls_datum_t ca = datum(state->config.client_ca);
        result = gnutls_certificate_set_x509_trust_mem(credentials, &ca, GNUTLS_X509_FMT_PEM);
        good = result > 0;
        if (!good)
            fail(state, nullptr, "the client CAs hold no certificate: %s",
                 result < 0 ? gnutls_strerror(result) : "none found");
    }
    gnutls_certificate_free_credentials(credentials);
    return good;
}

[[nodiscard]] bool read_tls(parse_state* state, const yaml_node_t* node)
{
    pairs p;
    if (!open_mapping(state, node, "tls_server_config", &p))
        return false;
    web_config& c = state->config;
    c.tls = true;
    c.min_version = 2;
    c.max_version = 3;
    const yaml_node_t *cert_file_node = nullptr, *cert_node = nullptr, *key_file_node = nullptr,
                      *key_node = nullptr, *ca_file_node = nullptr, *ca_node = nullptr;
    const char* auth = "NoClientCert";
    const yaml_node_t *key_of, *value;
    while (next_pair(state, &p, &key_of, &value)) {
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
            if (!text_value(state, value, key, &auth))
                return false;
        } else if (strcmp(key, "min_version") == 0) {
            if (!tls_version(state, value, key, &c.min_version))
                return false;
        } else if (strcmp(key, "max_version") == 0) {
            if (!tls_version(state, value, key, &c.max_version))
                return false;
        } else if (strcmp(key, "client_allowed_sans") == 0) {
            if (!refuse_unless_empty(state, value, key, "any client the CAs vouch for is let in"))
                return false;
        } else if (strcmp(key, "cipher_suites") == 0) {
            if (!refuse_unless_empty(state, value, key, "the TLS library's own choice applies"))
                return false;
        } else if (strcmp(key, "curve_preferences") == 0) {
            if (!refuse_unless_empty(state, value, key, "the TLS library's own choice applies"))
                return false;
        } else if (strcmp(key, "prefer_server_cipher_suites") == 0) {
            // The server's order always applies (see tls_priorities).
            if (!bool_value(state, value, key, &ignored))
                return false;
            if (!ignored)
                return fail(state, value, "%s: false is not supported", key);
        } else
            return fail(state, key_of, "unknown key %s in tls_server_config", key);
    }
    static const char* const policies[] = {"NoClientCert", "VerifyClientCertIfGiven",
                                           "RequireAndVerifyClientCert"};
    c.client_auth = -1;
    for (int k = 0; k < 3; k++)
        if (strcmp(auth, policies[k]) == 0)
            c.client_auth = k;
    if (c.client_auth < 0)
        return fail(state, nullptr,
                    "client_auth_type %s is not supported (NoClientCert, VerifyClientCertIfGiven "
                    "or RequireAndVerifyClientCert)",
                    auth);
    if (cert_file_node == nullptr && cert_node == nullptr)
        return fail(state, node, "%s", "tls_server_config needs cert_file or cert");
    if (key_file_node == nullptr && key_node == nullptr)
        return fail(state, node, "%s", "tls_server_config needs key_file or key");
    if (!material(state, cert_file_node, cert_node, "cert", cert_file, &c.cert)
        || !material(state, key_file_node, key_node, "key", key_file, &c.key)
        || !material(state, ca_file_node, ca_node, "client_ca", ca_file, &c.client_ca))
        return false;
    if (c.client_auth != no_client_cert && c.client_ca == nullptr)
        return fail(state, node, "client_auth_type %s needs client_ca_file or client_ca", auth);
    if (c.client_auth == no_client_cert && c.client_ca != nullptr)
        return fail(state, node, "%s",
                    "client CAs are set but client_auth_type is NoClientCert: set "
                    "RequireAndVerifyClientCert");
    if (c.min_version > c.max_version)
        return fail(state, node, "%s", "min_version is above max_version");
    return check_material(state);
}

[[nodiscard]] bool read_http(parse_state* state, const yaml_node_t* node)
{
    pairs p;
    if (!open_mapping(state, node, "http_server_config", &p))
        return false;
    const yaml_node_t *key_of, *value;
    while (next_pair(state, &p, &key_of, &value)) {
        const char* key = scalar(key_of);
        if (strcmp(key, "http2") == 0) {
            bool http2;
            if (!bool_value(state, value, key, &http2))
                return false;
            if (http2)
                return fail(state, value, "%s", "http2: true is not supported: the server speaks HTTP/1.1");
        } else if (strcmp(key, "headers") == 0) {
            pairs h;
            if (!open_mapping(state, value, "headers", &h))
                return false;
            const yaml_node_t *name_of, *text_of;
            while (next_pair(state, &h, &name_of, &text_of)) {
                const char* name = scalar(name_of);
                const char* text;
                if (!text_value(state, text_of, name, &text))
                    return false;
                int k = 0;
                while (k < header_count && strcasecmp(name, web_header_names[k]) != 0)
                    k++;
                if (k == header_count)
                    return fail(state, name_of, "header %s cannot be set", name);
                if (strpbrk(text, "\r\n") != nullptr)
                    return fail(state, name_of, "header %s holds a line break", name);
                state->config.headers[k] = strdup(text);
                if (state->config.headers[k] == nullptr)
                    return fail(state, nullptr, "%s", "out of memory");
            }
        } else
            return fail(state, key_of, "unknown key %s in http_server_config", key);
    }
    return true;
}

[[nodiscard]] bool read_users(parse_state* state, const yaml_node_t* node)
{
    // The bound on users is checked before any key is compared.
    if (node != nullptr && node->type == YAML_MAPPING_NODE
        && static_cast<size_t>(node->data.mapping.pairs.top - node->data.mapping.pairs.start)
            > most_users) {
        char why[100];
        snprintf(why, sizeof why, "more than %zu users", most_users);
        return fail(state, node, "%s", why);
    }
    pairs p;
    if (!open_mapping(state, node, "basic_auth_users", &p, most_users))
        return false;
    size_t count = p.end - p.at;
    if (count == 0)
        return true;
    state->config.users = static_cast<web_user*>(calloc(count, sizeof(web_user)));
    if (state->config.users == nullptr)
        return fail(state, nullptr, "%s", "out of memory");
    const yaml_node_t *key_of, *value;
    while (next_pair(state, &p, &key_of, &value)) {
        const char* name = scalar(key_of);
        const char* hash;
        if (!text_value(state, value, name, &hash))
            return false;
        // The name goes into a header's user:password, which splits at the first colon.
        if (name[0] == '\0' || strchr(name, ':') != nullptr || strlen(name) >= sizeof(web_user::name))
            return fail(state, key_of, "user name \"%s\" is empty, too long or holds a colon", name);
        bool bcrypt = strlen(hash) == 60 && hash[0] == '$' && hash[1] == '2'
            && strchr("aby", hash[2]) != nullptr && hash[3] == '$';
        if (!bcrypt)
            return fail(state, value, "the password of %s is not a bcrypt hash ($2y$, $2b$ or $2a$)",
                        name);
        web_user& user = state->config.users[state->config.user_count++];
        strcpy(user.name, name);
        strcpy(user.hash, hash);
    }
    return true;
}

// The parser's buffers and the tokens it holds, wiped before it is deleted:
// the file may hold a key inline.
void wipe_parser(yaml_parser_t* parser)
{
    if (parser->raw_buffer.start != nullptr)
        gnutls_memset(parser->raw_buffer.start, 0, parser->raw_buffer.end - parser->raw_buffer.start);
    if (parser->buffer.start != nullptr)
        gnutls_memset(parser->buffer.start, 0, parser->buffer.end - parser->buffer.start);
    for (yaml_token_t* token = parser->tokens.head; token != nullptr && token < parser->tokens.tail;
         token++)
        if (token->type == YAML_SCALAR_TOKEN && token->data.scalar.value != nullptr)
            gnutls_memset(token->data.scalar.value, 0, token->data.scalar.length);
    yaml_parser_delete(parser);
}

void wipe_document(yaml_document_t* document)
{
    for (yaml_node_t* node = document->nodes.start; node != nullptr && node < document->nodes.top;
         node++)
        if (node->type == YAML_SCALAR_NODE && node->data.scalar.value != nullptr)
            gnutls_memset(node->data.scalar.value, 0, node->data.scalar.length);
    yaml_document_delete(document);
}

// The file's nesting and anchors have a few levels and none here. Bounded
// before the file is loaded as a document, which a hostile shape would make
// slow: libyaml's time grows with the square of the depth, and with the
// product of anchors and aliases.
constexpr int most_depth = 16;
constexpr size_t most_anchors = 64;

[[nodiscard]] bool yaml_failed(parse_state* state, const yaml_parser_t& parser)
{
    char why[300];
    snprintf(why, sizeof why, "line %zu: %s", parser.problem_mark.line + 1,
             parser.problem ? parser.problem : "not YAML");
    return fail(state, nullptr, "%s", why);
}

[[nodiscard]] bool check_shape(parse_state* state, const char* text, size_t length)
{
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser))
        return fail(state, nullptr, "%s", "out of memory");
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text), length);
    int depth = 0;
    size_t anchors = 0;
    bool good = true, done = false;
    while (good && !done) {
        yaml_event_t event;
        if (!yaml_parser_parse(&parser, &event)) {
            good = yaml_failed(state, parser);
            break;
        }
        const unsigned char* anchor = nullptr;
        switch (event.type) {
        case YAML_MAPPING_START_EVENT:
            anchor = event.data.mapping_start.anchor;
            depth++;
            break;
        case YAML_SEQUENCE_START_EVENT:
            anchor = event.data.sequence_start.anchor;
            depth++;
            break;
        case YAML_MAPPING_END_EVENT:
        case YAML_SEQUENCE_END_EVENT:
            depth--;
            break;
        case YAML_SCALAR_EVENT:
            anchor = event.data.scalar.anchor;
            gnutls_memset(event.data.scalar.value, 0, event.data.scalar.length);
            break;
        case YAML_ALIAS_EVENT:
            anchor = event.data.alias.anchor;
            break;
        case YAML_STREAM_END_EVENT:
            done = true;
            break;
        default:
            break;
        }
        anchors += anchor != nullptr;
        if (depth > most_depth) {
            char why[100];
            snprintf(why, sizeof why, "line %zu: nested more than %d levels deep",
                     event.start_mark.line + 1, most_depth);
            good = fail(state, nullptr, "%s", why);
        } else if (anchors > most_anchors) {
            char why[100];
            snprintf(why, sizeof why, "line %zu: more than %zu anchors and aliases",
                     event.start_mark.line + 1, most_anchors);
            good = fail(state, nullptr, "%s", why);
        }
        yaml_event_delete(&event);
    }
    wipe_parser(&parser);
    return good;
}

[[nodiscard]] bool read_config(parse_state* state, const char* text, size_t length)
{
    if (!check_shape(state, text, length))
        return false;
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser))
        return fail(state, nullptr, "%s", "out of memory");
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text), length);
    if (!yaml_parser_load(&parser, &state->document)) {
        bool failed = yaml_failed(state, parser);
        wipe_parser(&parser);
        state->document = yaml_document_t{};
        return failed;
    }
    wipe_parser(&parser);
    yaml_node_t* root = yaml_document_get_root_node(&state->document);
    pairs p;
    if (!open_mapping(state, root, "the file", &p))
        return false;
    const yaml_node_t *key_of, *value;
    while (next_pair(state, &p, &key_of, &value)) {
        const char* key = scalar(key_of);
        bool good;
        if (strcmp(key, "tls_server_config") == 0)
            good = is_null(value) || read_tls(state, value);
        else if (strcmp(key, "http_server_config") == 0)
            good = read_http(state, value);
        else if (strcmp(key, "basic_auth_users") == 0)
            good = read_users(state, value);
        else if (strcmp(key, "rate_limit") == 0)
            good = is_null(value) || fail(state, value, "%s", "rate_limit is not supported");
        else
            good = fail(state, key_of, "unknown key %s", key);
        if (!good)
            return false;
    }
    return true;
}

} // namespace

bool read_web_config(const char* path, const char* reader, web_config* config,
                     config_watch* seen, char* error, size_t error_size)
{
    parse_state state{};
    state.path = path;
    state.reader = reader;
    const char* slash = strrchr(path, '/');
    state.folder_end = slash ? slash + 1 : path;
    snprintf(state.config.paths[config_file], sizeof state.config.paths[config_file], "%s", path);
    char* text = read_whole(&state, nullptr, config_file);
    bool good = text != nullptr && read_config(&state, text, strlen(text));
    free_wiped(text);
    wipe_document(&state.document);
    memcpy(seen->paths, state.config.paths, sizeof seen->paths);
    memcpy(seen->marks, state.marks, sizeof seen->marks);
    if (!good) {
        free_config(&state.config);
        snprintf(error, error_size, "%s", state.error);
        return false;
    }
    *config = state.config;
    return true;
}
