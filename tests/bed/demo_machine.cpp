// SPDX-License-Identifier: BSD-2-Clause
#include "demo_machine.h"

#include <string>

namespace {

constexpr int bins = 9;
const uint64_t bounds[bins + 1] = {0, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768};

// What a volume does in one second.
struct volume_load {
    const char* serial;
    const char* block_device;
    uint64_t reads, writes;             // operations
    uint64_t read_size, write_size;     // bytes each
    uint64_t read_us, write_us;         // mean latency, microseconds
    uint32_t read_bins[bins], write_bins[bins]; // the operations by latency
    uint64_t volume_iops_exceeded_us;
    uint64_t queue;
};

const volume_load loads[] = {
    {"vol049df61146c4d7901", "/dev/xvda", 40, 25, 16384, 32768, 290, 530,
     {4, 24, 8, 3, 1, 0, 0, 0, 0}, {0, 5, 12, 6, 2, 0, 0, 0, 0}, 0, 0},
    {"vol0b8e3a2f7c6d51402", "/dev/sdf", 2400, 600, 16384, 16384, 1420, 4650,
     {0, 240, 720, 600, 420, 264, 120, 36, 0}, {0, 0, 30, 90, 120, 150, 120, 72, 18}, 400000, 32},
    {"vol07c2d9e4f1a3b8603", "/dev/sdg", 0, 300, 0, 65536, 0, 650,
     {0, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 15, 150, 105, 24, 6, 0, 0, 0}, 0, 1},
    {nullptr, nullptr, 0, 0, 0, 0, 0, 0, {}, {}, 0, 0}, // the instance-storage disk
    {"vol0e5b7a9c3d1f26404", "/dev/sdh", 0, 0, 0, 0, 0, 0, {}, {}, 0, 0},
};

constexpr uint64_t attached_for = 3 * 86400; // seconds before the bed started

page_bytes load_page(const volume_load& load, uint64_t seconds)
{
    uint64_t t = attached_for + seconds;
    stats_values v;
    v.counters[0] = load.reads * t;
    v.counters[1] = load.writes * t;
    v.counters[2] = load.reads * load.read_size * t;
    v.counters[3] = load.writes * load.write_size * t;
    v.counters[4] = load.reads * load.read_us * t;
    v.counters[5] = load.writes * load.write_us * t;
    v.counters[6] = load.volume_iops_exceeded_us * t;
    v.counters[10] = load.queue;
    v.read_num_bins = v.write_num_bins = bins;
    for (int i = 0; i < bins; i++) {
        v.read_bins.push_back({bounds[i], bounds[i + 1], static_cast<uint32_t>(load.read_bins[i] * t)});
        v.write_bins.push_back({bounds[i], bounds[i + 1], static_cast<uint32_t>(load.write_bins[i] * t)});
    }
    return stats_page(v);
}

} // namespace

std::vector<fleet_controller> demo_machine(bool by_sample)
{
    std::vector<fleet_controller> machine;
    for (const volume_load& load : loads) {
        fleet_controller c;
        if (load.serial == nullptr) {
            c.fixture = instance_storage();
            c.fixture.identify = identify_page(0x1D0F, "AWS62E1F0C9D8B7A6F5A", "Amazon EC2 NVMe Instance Storage", "");
        } else {
            c.fixture.identify = identify_page(0x1D0F, load.serial, "Amazon Elastic Block Store", load.block_device);
            const volume_load* at = &load;
            c.make_page = [at, by_sample](int sample, double seconds) {
                return load_page(*at, by_sample ? static_cast<uint64_t>(sample) : static_cast<uint64_t>(seconds));
            };
        }
        machine.push_back(c);
    }
    return machine;
}
