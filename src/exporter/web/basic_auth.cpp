// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/web/basic_auth.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <pthread.h>
#include <strings.h>

#include "stats/interval.h"
#if __has_include(<crypt.h>)
#include <crypt.h>
#else
#include <unistd.h> // crypt_r in the C library's own header
#endif

namespace {

// What the handler threads share: the decoy, the key, the remembered checks.
pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
char decoy[sizeof web_user::hash];
unsigned char key[32];
bool have_key;
unsigned generation; // moves at every renewal: a check begun before it is not remembered
// How long the decoy's bcrypt took when it last ran, in nanoseconds; 0 when
// it has not run since it was made. A failed check of a user whose hash costs
// less is made to last as long.
uint64_t decoy_time;

// Successful checks, so that a scraper's every request does not cost a
// bcrypt round. Only an HMAC of name, password and hash is kept: an entry
// counts while the user's hash is the one it was checked against, and gives
// no password away.
struct remembered {
    bool used;
    unsigned char mac[32];
};
constexpr int remembered_count = 64;
remembered cache[remembered_count];
int cache_next;

// bcrypt rounds are taken in the order asked for, one at a time: a flood of
// wrong passwords costs one core at most, and a right one waits behind no
// more than the requests already queued.
pthread_mutex_t turn_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t turn_moved = PTHREAD_COND_INITIALIZER;
unsigned long next_ticket, serving;

// took: the nanoseconds that bcrypt itself took, its turn not counted.
bool bcrypt_matches(const char* password, const char* hash, uint64_t* took)
{
    crypt_data* data = static_cast<crypt_data*>(calloc(1, sizeof(crypt_data)));
    if (data == nullptr)
        return false;
    pthread_mutex_lock(&turn_lock);
    unsigned long ticket = next_ticket++;
    while (serving != ticket)
        pthread_cond_wait(&turn_moved, &turn_lock);
    pthread_mutex_unlock(&turn_lock);
    uint64_t start = monotonic_nanoseconds();
    const char* result = crypt_r(password, hash, data);
    *took = monotonic_nanoseconds() - start;
    size_t length = strlen(hash);
    bool good = result != nullptr && strlen(result) == length
        && gnutls_memcmp(result, hash, length) == 0;
    pthread_mutex_lock(&turn_lock);
    serving++;
    pthread_cond_broadcast(&turn_moved);
    pthread_mutex_unlock(&turn_lock);
    // crypt_data holds the password and the rounds' state.
    gnutls_memset(data, 0, sizeof(crypt_data));
    free(data);
    return good;
}

// The key of the remembered checks for name, password and hash; called with
// state_lock held.
bool remember_mac(const basic_credentials* given, const char* hash, unsigned char* mac)
{
    if (!have_key)
        return false;
    char text[sizeof given->name + sizeof given->password + sizeof web_user::hash + 2];
    size_t name = strlen(given->name), password = strlen(given->password);
    size_t used = 0;
    // Neither name nor password holds a NUL byte: the fields cannot run together.
    memcpy(text + used, given->name, name + 1);
    used += name + 1;
    memcpy(text + used, given->password, password + 1);
    used += password + 1;
    size_t hash_length = strnlen(hash, sizeof web_user::hash - 1);
    memcpy(text + used, hash, hash_length);
    used += hash_length;
    bool good = gnutls_hmac_fast(GNUTLS_MAC_SHA256, key, sizeof key, text, used, mac) == 0;
    gnutls_memset(text, 0, sizeof text);
    return good;
}

// bcrypt's 64 characters, in its own order.
const char bcrypt_alphabet[] = "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// A name and a password as the header gave them, refused when they hold a
// NUL byte (which a C string would cut short unseen) or do not fit.
bool take(const char* name, size_t name_length, const char* password, size_t password_length,
          basic_credentials* out)
{
    if (name_length >= sizeof out->name || password_length >= sizeof out->password
        || memchr(name, '\0', name_length) != nullptr
        || memchr(password, '\0', password_length) != nullptr)
        return false;
    memcpy(out->name, name, name_length);
    out->name[name_length] = '\0';
    memcpy(out->password, password, password_length);
    out->password[password_length] = '\0';
    return true;
}

} // namespace

int bcrypt_cost(const char* hash)
{
    bool form = strlen(hash) == 60 && hash[0] == '$' && hash[1] == '2'
        && strchr("aby", hash[2]) != nullptr && hash[2] != '\0' && hash[3] == '$'
        && hash[4] >= '0' && hash[4] <= '9' && hash[5] >= '0' && hash[5] <= '9' && hash[6] == '$';
    int cost = form ? (hash[4] - '0') * 10 + (hash[5] - '0') : -1;
    return cost >= 4 && cost <= 31 ? cost : -1;
}

bool make_decoy(const web_user* users, size_t count, char* out, size_t size)
{
    const char* model = "$2b$10$";
    int highest = -1;
    for (size_t k = 0; k < count; k++) {
        int cost = bcrypt_cost(users[k].hash);
        if (cost > highest) {
            highest = cost;
            model = users[k].hash;
        }
    }
    unsigned char random[53];
    if (size < 61 || gnutls_rnd(GNUTLS_RND_NONCE, random, sizeof random) != 0)
        return false;
    memcpy(out, model, 7); // $2y$12$
    for (int k = 0; k < 53; k++)
        out[7 + k] = bcrypt_alphabet[random[k] & 63];
    // The salt's 22 characters carry 128 bits: its last one only 2 of its 6.
    out[7 + 21] = ".Oeu"[random[21] & 3];
    out[60] = '\0';
    return true;
}

bool renew_basic_auth(const web_user* users, size_t count)
{
    char fresh[sizeof decoy];
    bool made = make_decoy(users, count, fresh, sizeof fresh);
    unsigned char new_key[sizeof key];
    bool need_key = !have_key;
    if (need_key && gnutls_rnd(GNUTLS_RND_KEY, new_key, sizeof new_key) != 0)
        made = need_key = false;
    pthread_mutex_lock(&state_lock);
    if (need_key) {
        memcpy(key, new_key, sizeof key);
        have_key = true;
    }
    if (made)
        memcpy(decoy, fresh, sizeof decoy);
    // A user removed or given a new hash must not get in by what was remembered.
    gnutls_memset(cache, 0, sizeof cache);
    cache_next = 0;
    generation++;
    decoy_time = 0;
    pthread_mutex_unlock(&state_lock);
    gnutls_memset(new_key, 0, sizeof new_key);
    return made;
}

bool decode_basic_header(const char* header, basic_credentials* out)
{
    *out = basic_credentials{};
    if (header == nullptr || strncasecmp(header, "Basic ", 6) != 0)
        return false;
    const char* token = header + 6;
    while (*token == ' ')
        token++;
    size_t length = strlen(token);
    if (length == 0 || length > 4 * sizeof(basic_credentials)
        || strspn(token, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=")
            != length)
        return false;
    gnutls_datum_t encoded{reinterpret_cast<unsigned char*>(const_cast<char*>(token)),
                           static_cast<unsigned>(length)};
    gnutls_datum_t decoded{};
    if (gnutls_base64_decode2(&encoded, &decoded) < 0)
        return false;
    const char* text = reinterpret_cast<const char*>(decoded.data);
    const char* colon = static_cast<const char*>(memchr(text, ':', decoded.size));
    bool good = colon != nullptr
        && take(text, colon - text, colon + 1, decoded.size - (colon + 1 - text), out);
    gnutls_memset(decoded.data, 0, decoded.size);
    gnutls_free(decoded.data);
    return good;
}

bool read_credentials(MHD_Connection* connection, basic_credentials* out)
{
    *out = basic_credentials{};
#if MHD_VERSION >= 0x00097600
    MHD_BasicAuthInfo* info = MHD_basic_auth_get_username_password3(connection);
    if (info == nullptr)
        return false;
    bool good = info->username != nullptr && info->password != nullptr
        && take(info->username, info->username_len, info->password, info->password_len, out);
    if (info->username != nullptr)
        gnutls_memset(info->username, 0, info->username_len);
    if (info->password != nullptr)
        gnutls_memset(info->password, 0, info->password_len);
    MHD_free(info);
    return good;
#else
    // This libmicrohttpd's call hands back C strings, which hide a NUL byte:
    // the header is decoded here instead.
    return decode_basic_header(
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION),
        out);
#endif
}

void wipe_credentials(basic_credentials* credentials)
{
    gnutls_memset(credentials, 0, sizeof *credentials);
}

bool check_password(const basic_credentials* given, const char* hash)
{
    char against[sizeof web_user::hash];
    unsigned char mac[32] = {};
    pthread_mutex_lock(&state_lock);
    strncpy(against, hash != nullptr ? hash : decoy, sizeof against - 1);
    against[sizeof against - 1] = '\0';
    unsigned started = generation;
    bool have_mac = remember_mac(given, against, mac);
    bool found = false;
    for (const remembered& entry : cache)
        found |= entry.used && gnutls_memcmp(entry.mac, mac, sizeof mac) == 0;
    pthread_mutex_unlock(&state_lock);
    if (have_mac && found) {
        gnutls_memset(mac, 0, sizeof mac);
        return true;
    }
    uint64_t took;
    bool good = bcrypt_matches(given->password, against, &took);
    pthread_mutex_lock(&state_lock);
    // A failed check lasts as long as the decoy's, so that the time of a
    // refusal tells no name that exists: a user whose hash costs less waits
    // out the difference; until the decoy has been timed, it is run.
    uint64_t model = started == generation ? decoy_time : 0;
    if (hash == nullptr && started == generation)
        decoy_time = took;
    bool pad = !good && hash != nullptr;
    strcpy(against, decoy);
    pthread_mutex_unlock(&state_lock);
    if (pad && model == 0) {
        uint64_t decoy_took;
        bcrypt_matches(given->password, against, &decoy_took);
        pthread_mutex_lock(&state_lock);
        if (started == generation)
            decoy_time = decoy_took;
        pthread_mutex_unlock(&state_lock);
    } else if (pad && model > took) {
        uint64_t rest = model - took;
        timespec wait{static_cast<time_t>(rest / 1000000000), static_cast<long>(rest % 1000000000)};
        while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
        }
    }
    pthread_mutex_lock(&state_lock);
    if (good && have_mac && started == generation) {
        remembered& entry = cache[cache_next];
        cache_next = (cache_next + 1) % remembered_count;
        entry.used = true;
        memcpy(entry.mac, mac, sizeof mac);
    }
    pthread_mutex_unlock(&state_lock);
    gnutls_memset(mac, 0, sizeof mac);
    return good;
}
