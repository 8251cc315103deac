// SPDX-License-Identifier: BSD-2-Clause
// The metrics side's handling of what the device side answers, through to
// the page: scrape() asks, this target plays the device side from the input
// (in place of the socket pair, device_link.cpp), handing each answer to
// take_device_answer as the request leaves, and render_metrics renders each
// scrape's readings. The page must stay a valid text exposition whatever the
// device side says: every line a comment or a sample, label values escaped,
// each series once, each histogram's buckets cumulative and its +Inf bucket
// its count.
//
// The input is a script. Its first byte is the number of scrapes (1 to 4);
// then each request, as it leaves and at each request after it until it is
// answered, takes a step byte whose low three bits say what it gets:
//   0, 7  its answer, whole (and no more for this request)
//   1     its answer with a tag of the input's (4 bytes), then more
//   2     its answer cut or run on to the input's length (2 bytes), then more
//   3     an answer of the other kind, then more
//   4     a refusal (and no more)
//   5     an answer for a controller the input names (1 byte), then more
//   6     nothing yet: a read is answered after a later request leaves (its
//         scrape does not wait for it: the deadline has passed at once); a
//         list gets its answer, whole
// A list answer's body: a count (1 byte: count - 1, or 64 up; 255 says
// 0x7fffffff), an errno (1 byte), and for each listed controller a byte: its
// number (nvme0 to nvme31), or from 0xF0 up 96 bytes of the input as its
// name and device. A read answer's body: a byte of flags (platform device,
// identified, EBS, statistics, the identity from 136 bytes of the input
// rather than one of four of a sample, and which of the four), the failed
// step, the failure, the errno, the time (8 bytes), and patches to a sample
// page: a count (1 byte, up to 7), then for each an offset (2 bytes) and a
// 32-bit value. When the input runs out, each request gets a plain answer
// (an empty list, a refusal).
//
// No thread takes the answers here (start_scrapes is not called), so the
// scrapes' wait has no clock of its own: a deadline has passed at once.
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "exporter/device_link.h"
#include "exporter/log.h"
#include "exporter/metrics.h"
#include "exporter/records.h"
#include "exporter/scrape.h"

namespace {

// Requests not answered yet, in the order they left.
device_request held[4 * max_controllers];
int held_count;
device_request current;

const uint8_t* script;
size_t script_left;

uint8_t next_byte()
{
    if (script_left == 0)
        return 0;
    script_left--;
    return *script++;
}

void next_bytes(void* to, size_t size)
{
    size_t taken = size < script_left ? size : script_left;
    memcpy(to, script, taken);
    memset(static_cast<uint8_t*>(to) + taken, 0, size - taken);
    script += taken;
    script_left -= taken;
}

ebs_stats_log sample_page()
{
    ebs_stats_log page{};
    page.magic = ebs_stats_magic;
    page.total_read_ops = 1000;
    page.total_write_ops = 2000;
    page.total_read_bytes = 4096000;
    page.total_write_bytes = 8192000;
    page.total_read_time = 1500000;
    page.total_write_time = 2500001;
    page.volume_queue_length = 3;
    for (latency_histogram* histogram :
         {&page.read_io_latency_histogram, &page.write_io_latency_histogram}) {
        histogram->num_bins = 28;
        uint64_t lower = 0;
        for (int i = 0; i < 28; i++) {
            uint64_t upper = 32ull << i;
            histogram->bins[i] = histogram_bin{lower, upper, static_cast<uint32_t>(7 * i), 0};
            lower = upper;
        }
        histogram->bins[27].upper = UINT64_MAX;
    }
    return page;
}

const volume_identity identities[4] = {
    {"vol-0123456789abcdef0", "vol0123456789abcdef0", "Amazon Elastic Block Store", "sdf"},
    {"vol-0fedcba9876543210", "vol0fedcba9876543210", "Amazon Elastic Block Store", "/dev/xvdb"},
    {"", "AWS1234567890ABCDEF", "Amazon EC2 NVMe Instance Storage", ""},
    {"vol-\"\\\n", "vol\"\\\n", "a \"model\"\\", "b\n\"lock\""},
};

void fill_list(list_answer* answer)
{
    uint8_t count = next_byte();
    answer->count = count == 255 ? 0x7fffffff : static_cast<int32_t>(count) - 1;
    answer->error = next_byte();
    int listed = answer->count < max_controllers ? answer->count : max_controllers;
    for (int i = 0; i < listed; i++) {
        listed_controller& entry = answer->controllers[i];
        uint8_t number = next_byte();
        if (number >= 0xF0)
            next_bytes(&entry, sizeof entry);
        else {
            snprintf(entry.controller, sizeof entry.controller, "nvme%d", number % 32);
            snprintf(entry.device, sizeof entry.device, "nvme%dn1", number % 32);
        }
    }
}

void fill_read(read_answer* answer)
{
    uint8_t flags = next_byte();
    answer->platform_device = flags & 1;
    answer->identified = flags >> 1 & 1;
    answer->is_ebs = flags >> 2 & 1;
    answer->has_stats = flags >> 3 & 1;
    if (flags & 0x10)
        next_bytes(&answer->identity, sizeof answer->identity);
    else
        answer->identity = identities[flags >> 5 & 3];
    answer->failed_step = static_cast<read_step>(next_byte());
    answer->failure = static_cast<read_failure>(next_byte());
    answer->error = next_byte();
    next_bytes(&answer->nanoseconds, sizeof answer->nanoseconds);
    answer->page = sample_page();
    for (int patches = next_byte() % 8; patches > 0; patches--) {
        uint16_t offset;
        uint32_t value;
        next_bytes(&offset, sizeof offset);
        next_bytes(&value, sizeof value);
        memcpy(reinterpret_cast<uint8_t*>(&answer->page) + offset % (4096 - 3), &value,
               sizeof value);
    }
}

// One record for the request being answered, current; *last when it is the
// final one. 0: no answer yet.
size_t answer_request(device_answer* record, bool* last)
{
    memset(record, 0, sizeof *record);
    bool list = current.kind == list_request;
    if (script_left == 0) {
        *last = true;
        if (list) {
            record->list = list_answer{list_answer_kind, current.tag, 0, 0, {}};
            return sizeof record->list;
        }
        record->read.kind = refusal_kind;
        record->read.tag = current.tag;
        memcpy(record->read.controller, current.controller, sizeof record->read.controller);
        record->read.failed_step = read_step::refused;
        return sizeof record->read;
    }
    uint8_t step = next_byte() & 7;
    if (step == 6 && !list) {
        *last = false;
        return 0;
    }
    *last = step == 0 || step >= 6 || step == 4;
    if (step == 3)
        list = !list;
    size_t size;
    if (list) {
        fill_list(&record->list);
        record->list.kind = list_answer_kind;
        size = sizeof record->list;
    } else {
        fill_read(&record->read);
        record->read.kind = read_answer_kind;
        memcpy(record->read.controller, current.controller, sizeof record->read.controller);
        size = sizeof record->read;
    }
    record->list.tag = current.tag; // the same place in both
    switch (step) {
    case 1:
        next_bytes(&record->list.tag, sizeof record->list.tag);
        break;
    case 2: {
        uint16_t length;
        next_bytes(&length, sizeof length);
        size = 1 + length % sizeof *record;
        break;
    }
    case 4:
        record->read.kind = refusal_kind;
        record->read.failed_step = read_step::refused;
        break;
    case 5:
        snprintf(record->read.controller, sizeof record->read.controller, "nvme%d",
                 next_byte() % 32);
        break;
    default:
        break;
    }
    // An answer that the scrape takes for the request's is its last, whatever
    // the step said, as the device side answers each request once.
    if (current.kind == list_request)
        *last = *last
            || (record->list.kind == list_answer_kind && size == sizeof record->list
                && record->list.tag == current.tag);
    else
        *last = *last
            || (record->read.kind != list_answer_kind && size >= offsetof(read_answer, page)
                && record->read.tag == current.tag
                && strncmp(record->read.controller, current.controller,
                           sizeof current.controller) == 0);
    return size;
}

void fail(const char* what, const text_buffer& page, const char* line)
{
    fprintf(stderr, "device answers: %s\nline: %.200s\npage:\n%.*s\n", what, line,
            static_cast<int>(page.used), page.data);
    abort();
}

const char* take_name(const char* at, bool label)
{
    auto first = [label](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (!label && c == ':');
    };
    if (!first(*at))
        return nullptr;
    while (first(*at) || (*at >= '0' && *at <= '9'))
        at++;
    return at;
}

// A sample's value as this writer writes them: a decimal number, or +Inf
// nowhere (only in le).
const char* take_number(const char* at, double* value)
{
    const char* start = at;
    while (*at >= '0' && *at <= '9')
        at++;
    if (at == start)
        return nullptr;
    if (*at == '.') {
        const char* fraction = ++at;
        while (*at >= '0' && *at <= '9')
            at++;
        if (at == fraction)
            return nullptr;
    }
    *value = strtod(start, nullptr);
    return at;
}

// Compares two decimals as this writer writes them ("12", "0.000032")
// exactly: as doubles, two close bounds may be one.
int compare_decimal(const char* a, const char* b)
{
    size_t whole_a = strspn(a, "0123456789"), whole_b = strspn(b, "0123456789");
    if (whole_a != whole_b)
        return whole_a < whole_b ? -1 : 1;
    if (int order = memcmp(a, b, whole_a))
        return order;
    // The fractions, a shorter one read as ending in zeros.
    const char* x = a[whole_a] == '.' ? a + whole_a + 1 : a + whole_a;
    const char* y = b[whole_b] == '.' ? b + whole_b + 1 : b + whole_b;
    size_t fraction_x = strspn(x, "0123456789"), fraction_y = strspn(y, "0123456789");
    for (size_t k = 0; k < fraction_x || k < fraction_y; k++) {
        char dx = k < fraction_x ? x[k] : '0', dy = k < fraction_y ? y[k] : '0';
        if (dx != dy)
            return dx < dy ? -1 : 1;
    }
    return 0;
}

struct series_state {
    char key[512]; // the name and labels but le
    char last_le[64];
    double last_count;
    double infinity_count;
    bool seen_infinity;
};

void check_page(const text_buffer& page, const scrape_readings& readings)
{
    if (page.failed)
        fail("the page ran out of memory", page, "");
    if (page.used == 0 || page.data[page.used - 1] != '\n')
        fail("the page does not end a line", page, "");
    if (memchr(page.data, '\0', page.used) != nullptr)
        fail("a NUL byte in the page", page, "");
    static char line[4096];
    static char samples[4 * 1024 * 1024];
    size_t samples_used = 0;
    int sample_count = 0;
    series_state series{};
    int successes = 0;
    for (size_t at = 0; at < page.used;) {
        const char* end = static_cast<const char*>(memchr(page.data + at, '\n', page.used - at));
        size_t length = end - (page.data + at);
        if (length >= sizeof line)
            fail("a line too long", page, page.data + at);
        memcpy(line, page.data + at, length);
        line[length] = '\0';
        at += length + 1;
        if (strncmp(line, "# HELP ", 7) == 0 || strncmp(line, "# TYPE ", 7) == 0)
            continue;
        const char* p = take_name(line, false);
        if (p == nullptr)
            fail("a line that is neither a comment nor a sample", page, line);
        size_t name_length = p - line;
        const char* le = nullptr;
        const char* labels_end = p;
        if (*p == '{') {
            p++;
            while (*p != '}') {
                const char* label = p;
                p = take_name(p, true);
                if (p == nullptr || p[0] != '=' || p[1] != '"')
                    fail("a label that is not name=\"value\"", page, line);
                if (strncmp(label, "le=", 3) == 0)
                    le = p + 2;
                for (p += 2; *p != '"'; p++) {
                    if (*p == '\\' && (p[1] == '\\' || p[1] == '"' || p[1] == 'n'))
                        p++;
                    else if (*p == '\\' || static_cast<unsigned char>(*p) < 0x20
                             || static_cast<unsigned char>(*p) > 0x7E)
                        fail("a label value not escaped", page, line);
                }
                p++;
                if (*p == ',')
                    p++;
                else if (*p != '}')
                    fail("labels that do not close", page, line);
            }
            labels_end = ++p;
        }
        if (*p++ != ' ')
            fail("a sample without its value", page, line);
        double value;
        p = take_number(p, &value);
        if (p == nullptr || *p != '\0')
            fail("a value that is not a number", page, line);
        if (strncmp(line, "ebs_scrape_success{", 19) == 0)
            successes++;
        size_t key_length = labels_end - line;
        if (samples_used + key_length + 1 > sizeof samples)
            fail("a page too long", page, line);
        memcpy(samples + samples_used, line, key_length);
        samples[samples_used + key_length] = '\0';
        samples_used += key_length + 1;
        sample_count++;

        // The histograms: buckets in order of le, cumulative, +Inf the count.
        bool bucket = name_length > 7 && strncmp(line + name_length - 7, "_bucket", 7) == 0;
        bool count = name_length > 6 && strncmp(line + name_length - 6, "_count", 6) == 0;
        if (bucket) {
            if (le == nullptr || le < line + name_length)
                fail("a bucket without le", page, line);
            char key[512];
            snprintf(key, sizeof key, "%.*s", static_cast<int>(le - line), line);
            bool infinity = strncmp(le, "+Inf\"", 5) == 0;
            if (strcmp(key, series.key) == 0) {
                if (series.seen_infinity)
                    fail("a histogram twice", page, line);
                if (value < series.last_count
                    || (!infinity && compare_decimal(le, series.last_le) <= 0))
                    fail("buckets out of order, or not cumulative", page, line);
            } else {
                if (series.key[0] != '\0' && !series.seen_infinity)
                    fail("a histogram without its +Inf bucket", page, series.key);
                series = series_state{};
                snprintf(series.key, sizeof series.key, "%s", key);
            }
            snprintf(series.last_le, sizeof series.last_le, "%.*s",
                     static_cast<int>(strcspn(le, "\"")), le);
            series.last_count = value;
            if (infinity) {
                series.seen_infinity = true;
                series.infinity_count = value;
            }
        } else if (count) {
            // name_count{labels} pairs with name_bucket{labels,le=...}.
            char key[512];
            snprintf(key, sizeof key, "%.*s_bucket%.*s", static_cast<int>(name_length - 6), line,
                     static_cast<int>(labels_end - 1 - (line + name_length)), line + name_length);
            size_t key_length = strlen(key);
            if (!series.seen_infinity || strncmp(series.key, key, key_length) != 0
                || value != series.infinity_count)
                fail("a histogram's count that is not its +Inf bucket", page, line);
        }
    }
    if (successes != readings.count)
        fail("not one ebs_scrape_success for each controller", page, "");
    // Each series once: Prometheus refuses a page that gives one twice.
    static const char* keys[1 << 16];
    if (sample_count > static_cast<int>(sizeof keys / sizeof keys[0]))
        fail("a page too long", page, "");
    const char* key = samples;
    for (int i = 0; i < sample_count; i++, key += strlen(key) + 1)
        keys[i] = key;
    qsort(keys, sample_count, sizeof keys[0], [](const void* a, const void* b) {
        return strcmp(*static_cast<const char* const*>(a), *static_cast<const char* const*>(b));
    });
    for (int i = 1; i < sample_count; i++)
        if (strcmp(keys[i - 1], keys[i]) == 0)
            fail("a series twice", page, keys[i]);
}

} // namespace

// Answers the requests held, as the script says.
static void answer_held()
{
    int kept = 0;
    for (int i = 0; i < held_count; i++) {
        current = held[i];
        static device_answer record;
        bool last = false;
        while (!last) {
            size_t length = answer_request(&record, &last);
            if (length == 0)
                break;
            take_device_answer(record, length);
        }
        if (!last)
            held[kept++] = current;
    }
    held_count = kept;
}

// The device side, played from the script.
bool send_device_request(const device_request& request, const timespec&)
{
    if (held_count == static_cast<int>(sizeof held / sizeof held[0]))
        return false;
    held[held_count++] = request;
    answer_held();
    return true;
}

size_t receive_device_answer(void*, size_t)
{
    abort(); // no thread takes the answers here
}

void stop_device_side() {}

// The log's lines are made, for the sanitizers to see, and dropped.
void log_message(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static scrape_room* room = take_scrape_room();
    if (size == 0 || room == nullptr)
        return 0;
    // The reads still out are answered, and a scrape that lists nothing
    // follows: every controller of the input before is forgotten, and with it
    // the totals it had.
    script_left = 0;
    answer_held();
    if (!scrape(&room->readings, 5) || room->readings.count != 0)
        abort();

    script = data + 1;
    script_left = size - 1;
    for (int scrapes = 1 + data[0] % 4; scrapes > 0; scrapes--) {
        if (!scrape(&room->readings, 5))
            continue;
        if (room->readings.count < 0 || room->readings.count > max_controllers)
            abort();
        render_metrics(room->readings, &room->page);
        check_page(room->page, room->readings);
    }
    return 0;
}
