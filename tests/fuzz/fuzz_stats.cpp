// SPDX-License-Identifier: BSD-2-Clause
// Two statistics pages as a device would send them (the input split at 4096
// bytes, zero-padded): the first is the newer sample, the second the one
// before. Both renderers print the newer page and the difference of the two.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/stats_report.h"
#include "stats/log_page.h"
#include "stats/poll.h"

#include "capture.h"

static const char* failed_render; // which rendering is being checked, for the report

static void fail(const char* what, const char* output, size_t length)
{
    fprintf(stderr, "%s: %s\n", failed_render ? failed_render : "stats_delta", what);
    if (output != nullptr)
        fprintf(stderr, "output:\n%.*s\n", static_cast<int>(length), output);
    abort();
}

static uint64_t bins_shown(uint64_t num_bins) { return num_bins < 64 ? num_bins : 64; }

// A strict JSON reader (RFC 8259) that also picks out, in the top-level
// object, the numbers and, in the two histogram objects, num_bins and the
// number of bins.
struct json_reader {
    const char* at;
    const char* end;
};

struct histogram_seen {
    bool found;
    bool num_bins_found;
    uint64_t num_bins;
    uint64_t bins;
};

struct json_seen {
    int counters_found;
    const char* counter_keys[11];
    uint64_t counters[11];
    histogram_seen read;
    histogram_seen write;
};

static void skip_space(json_reader* r)
{
    while (r->at < r->end && (*r->at == ' ' || *r->at == '\t' || *r->at == '\r' || *r->at == '\n'))
        r->at++;
}

static bool take(json_reader* r, char c)
{
    skip_space(r);
    if (r->at < r->end && *r->at == c) {
        r->at++;
        return true;
    }
    return false;
}

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The string's raw bytes between its quotes; escapes are checked, not decoded.
static bool read_string(json_reader* r, const char** start, size_t* length)
{
    if (!take(r, '"'))
        return false;
    *start = r->at;
    while (r->at < r->end && *r->at != '"') {
        unsigned char c = static_cast<unsigned char>(*r->at);
        if (c < 0x20)
            return false;
        if (c == '\\') {
            r->at++;
            if (r->at >= r->end)
                return false;
            if (*r->at == 'u') {
                for (int i = 0; i < 4; i++) {
                    r->at++;
                    if (r->at >= r->end || *r->at == '\0' || !strchr("0123456789abcdefABCDEF", *r->at))
                        return false;
                }
            } else if (*r->at == '\0' || !strchr("\"\\/bfnrt", *r->at)) {
                return false;
            }
        }
        r->at++;
    }
    if (r->at >= r->end)
        return false;
    *length = static_cast<size_t>(r->at - *start);
    r->at++;
    return true;
}

// Sets *whole when the number is an unsigned integer that fits 64 bits.
static bool read_number(json_reader* r, bool* is_whole, uint64_t* whole)
{
    skip_space(r);
    const char* start = r->at;
    if (r->at < r->end && *r->at == '-')
        r->at++;
    if (r->at >= r->end || !is_digit(*r->at))
        return false;
    if (*r->at == '0')
        r->at++;
    else
        while (r->at < r->end && is_digit(*r->at))
            r->at++;
    const char* integer_end = r->at;
    if (r->at < r->end && *r->at == '.') {
        r->at++;
        if (r->at >= r->end || !is_digit(*r->at))
            return false;
        while (r->at < r->end && is_digit(*r->at))
            r->at++;
    }
    if (r->at < r->end && (*r->at == 'e' || *r->at == 'E')) {
        r->at++;
        if (r->at < r->end && (*r->at == '+' || *r->at == '-'))
            r->at++;
        if (r->at >= r->end || !is_digit(*r->at))
            return false;
        while (r->at < r->end && is_digit(*r->at))
            r->at++;
    }
    *is_whole = *start != '-' && integer_end == r->at;
    *whole = 0;
    for (const char* p = start; *is_whole && p < integer_end; p++) {
        uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (*whole > (UINT64_MAX - digit) / 10)
            *is_whole = false;
        else
            *whole = *whole * 10 + digit;
    }
    return true;
}

static bool key_is(const char* key, size_t length, const char* name)
{
    return length == strlen(name) && memcmp(key, name, length) == 0;
}

static bool read_value(json_reader* r, int depth, json_seen* top, histogram_seen* histogram,
                       const char* key, size_t key_length);

static bool read_object(json_reader* r, int depth, json_seen* top, histogram_seen* histogram)
{
    if (!take(r, '{'))
        return false;
    if (take(r, '}'))
        return true;
    do {
        const char* key;
        size_t key_length;
        if (!read_string(r, &key, &key_length) || !take(r, ':'))
            return false;
        if (!read_value(r, depth + 1, top, histogram, key, key_length))
            return false;
    } while (take(r, ','));
    return take(r, '}');
}

static bool read_value(json_reader* r, int depth, json_seen* top, histogram_seen* histogram,
                       const char* key, size_t key_length)
{
    if (depth > 32)
        return false;
    skip_space(r);
    if (r->at >= r->end)
        return false;
    switch (*r->at) {
    case '{': {
        histogram_seen* inner = nullptr;
        if (top != nullptr && key_is(key, key_length, "read_io_latency_histogram"))
            inner = &top->read;
        else if (top != nullptr && key_is(key, key_length, "write_io_latency_histogram"))
            inner = &top->write;
        if (inner != nullptr) {
            if (inner->found)
                return false; // the same histogram twice
            inner->found = true;
        }
        return read_object(r, depth, nullptr, inner);
    }
    case '[': {
        r->at++;
        uint64_t elements = 0;
        if (!take(r, ']')) {
            do {
                if (!read_value(r, depth + 1, nullptr, nullptr, nullptr, 0))
                    return false;
                elements++;
            } while (take(r, ','));
            if (!take(r, ']'))
                return false;
        }
        if (histogram != nullptr && key_is(key, key_length, "bins"))
            histogram->bins = elements;
        return true;
    }
    case '"': {
        const char* text;
        size_t length;
        return read_string(r, &text, &length);
    }
    case 't':
    case 'f':
    case 'n': {
        static const char* const words[] = {"true", "false", "null"};
        for (const char* word : words) {
            size_t length = strlen(word);
            if (static_cast<size_t>(r->end - r->at) >= length && memcmp(r->at, word, length) == 0) {
                r->at += length;
                return true;
            }
        }
        return false;
    }
    default: {
        bool is_whole;
        uint64_t whole;
        if (!read_number(r, &is_whole, &whole))
            return false;
        if (histogram != nullptr && key_is(key, key_length, "num_bins")) {
            if (!is_whole || histogram->num_bins_found)
                return false;
            histogram->num_bins_found = true;
            histogram->num_bins = whole;
        }
        if (top != nullptr) {
            for (int i = 0; i < 11; i++)
                if (key_is(key, key_length, top->counter_keys[i])) {
                    if (!is_whole)
                        return false;
                    top->counters[i] = whole;
                    top->counters_found |= 1 << i;
                }
        }
        return true;
    }
    }
}

static const struct {
    const char* key;
    size_t offset;
} counter_fields[11] = {
    {"total_read_ops", 8},
    {"total_write_ops", 16},
    {"total_read_bytes", 24},
    {"total_write_bytes", 32},
    {"total_read_time", 40},
    {"total_write_time", 48},
    {"ebs_volume_performance_exceeded_iops", 56},
    {"ebs_volume_performance_exceeded_tp", 64},
    {"ec2_instance_ebs_performance_exceeded_iops", 72},
    {"ec2_instance_ebs_performance_exceeded_tp", 80},
    {"volume_queue_length", 88},
};

static uint64_t field_at(const ebs_stats_log& page, size_t offset)
{
    uint64_t value;
    memcpy(&value, reinterpret_cast<const char*>(&page) + offset, sizeof value);
    return value;
}

static void end_report(capture* c)
{
    end_capture(c);
    if (memchr(c->output, '\0', c->length) != nullptr)
        fail("NUL in the output", c->output, c->length);
}

static void check_json(const ebs_stats_log& page)
{
    capture c;
    begin_capture(&c);
    print_stats_json(page);
    end_report(&c);

    if (c.length == 0 || c.output[c.length - 1] != '\n'
        || memchr(c.output, '\n', c.length - 1) != nullptr)
        fail("not one line", c.output, c.length);
    json_seen seen{};
    for (int i = 0; i < 11; i++)
        seen.counter_keys[i] = counter_fields[i].key;
    json_reader r{c.output, c.output + c.length - 1};
    skip_space(&r);
    if (r.at >= r.end || *r.at != '{')
        fail("not an object", c.output, c.length);
    if (!read_object(&r, 0, &seen, nullptr))
        fail("not valid JSON", c.output, c.length);
    skip_space(&r);
    if (r.at != r.end)
        fail("text after the object", c.output, c.length);

    if (seen.counters_found != (1 << 11) - 1)
        fail("a counter is missing", c.output, c.length);
    for (int i = 0; i < 11; i++)
        if (seen.counters[i] != field_at(page, counter_fields[i].offset))
            fail("a counter differs from the page", c.output, c.length);
    const latency_histogram* pages[2] = {&page.read_io_latency_histogram,
                                         &page.write_io_latency_histogram};
    const histogram_seen* histograms[2] = {&seen.read, &seen.write};
    for (int i = 0; i < 2; i++) {
        if (!histograms[i]->found || !histograms[i]->num_bins_found)
            fail("a histogram or its num_bins is missing", c.output, c.length);
        if (histograms[i]->num_bins != pages[i]->num_bins)
            fail("num_bins differs from the page", c.output, c.length);
        if (histograms[i]->bins != bins_shown(pages[i]->num_bins))
            fail("wrong number of bins", c.output, c.length);
    }
}

static void check_text(const ebs_stats_log& page)
{
    capture c;
    begin_capture(&c);
    print_stats_text(page);
    end_report(&c);

    if (c.length == 0 || c.output[c.length - 1] != '\n')
        fail("does not end with a line end", c.output, c.length);
    // Bin lines and bin counts, per table, in order: read, then write.
    uint64_t bin_lines[2] = {0, 0};
    uint64_t heads[2] = {0, 0};
    int table = -1;
    const char* line = c.output;
    const char* end = c.output + c.length;
    while (line < end) {
        const char* eol = static_cast<const char*>(memchr(line, '\n', end - line));
        size_t length = static_cast<size_t>(eol - line);
        static const char read_title[] = "Read IO Latency Histogram (us)";
        static const char write_title[] = "Write IO Latency Histogram (us)";
        static const char head[] = "Number of bins: ";
        if (length == strlen(read_title) && memcmp(line, read_title, length) == 0) {
            if (table != -1)
                fail("tables out of order", c.output, c.length);
            table = 0;
        } else if (length == strlen(write_title) && memcmp(line, write_title, length) == 0) {
            if (table != 0)
                fail("tables out of order", c.output, c.length);
            table = 1;
        } else if (length > strlen(head) && memcmp(line, head, strlen(head)) == 0) {
            if (table < 0 || heads[table]++ != 0)
                fail("bin count out of place", c.output, c.length);
            char number[32];
            size_t digits = length - strlen(head);
            if (digits >= sizeof number)
                fail("bin count too long", c.output, c.length);
            memcpy(number, line + strlen(head), digits);
            number[digits] = '\0';
            const latency_histogram& histogram =
                table == 0 ? page.read_io_latency_histogram : page.write_io_latency_histogram;
            char want[32];
            snprintf(want, sizeof want, "%llu", static_cast<unsigned long long>(histogram.num_bins));
            if (strcmp(number, want) != 0)
                fail("bin count differs from the page", c.output, c.length);
        } else if (length > 0 && line[0] == '[') {
            if (table < 0 || heads[table] != 1)
                fail("bin line out of place", c.output, c.length);
            bin_lines[table]++;
        }
        line = eol + 1;
    }
    if (table != 1 || heads[0] != 1 || heads[1] != 1)
        fail("a table is missing", c.output, c.length);
    if (bin_lines[0] != bins_shown(page.read_io_latency_histogram.num_bins)
        || bin_lines[1] != bins_shown(page.write_io_latency_histogram.num_bins))
        fail("wrong number of bin lines", c.output, c.length);
}

// Adding previous back to the difference must give current, every byte of it:
// the counters at offsets 8 to 80 modulo 2^64, all 64 bin counts of both
// histograms modulo 2^32, and everything else current's unchanged.
static void check_delta(const ebs_stats_log& current, const ebs_stats_log& previous,
                        const ebs_stats_log& delta)
{
    static ebs_stats_log restored_page;
    ebs_stats_log* restored = &restored_page;
    memcpy(restored, &delta, sizeof *restored);
    char* bytes = reinterpret_cast<char*>(restored);
    for (size_t offset = 8; offset <= 80; offset += 8) {
        uint64_t value = field_at(*restored, offset) + field_at(previous, offset);
        memcpy(bytes + offset, &value, sizeof value);
    }
    for (int i = 0; i < histogram_bins; i++) {
        restored->read_io_latency_histogram.bins[i].count +=
            previous.read_io_latency_histogram.bins[i].count;
        restored->write_io_latency_histogram.bins[i].count +=
            previous.write_io_latency_histogram.bins[i].count;
    }
    if (memcmp(restored, &current, sizeof current) != 0)
        fail("delta plus previous is not current", nullptr, 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Each page a variable of its own, which the sanitizer fences, so that a
    // read past it is caught.
    static ebs_stats_log current, previous, delta;
    memset(&current, 0, sizeof current);
    memset(&previous, 0, sizeof previous);
    memset(&delta, 0, sizeof delta);
    size_t page_size = sizeof(ebs_stats_log);
    memcpy(&current, data, size < page_size ? size : page_size);
    if (size > page_size)
        memcpy(&previous, data + page_size, size - page_size < page_size ? size - page_size : page_size);
    stats_log_from_le(&current);
    stats_log_from_le(&previous);

    failed_render = nullptr;
    stats_delta(current, previous, &delta);
    check_delta(current, previous, delta);

    failed_render = "print_stats_text, sample";
    check_text(current);
    failed_render = "print_stats_json, sample";
    check_json(current);
    failed_render = "print_stats_text, difference";
    check_text(delta);
    failed_render = "print_stats_json, difference";
    check_json(delta);
    return 0;
}
