// SPDX-License-Identifier: BSD-2-Clause
// From the operand to an accepted controller: namespaces followed to their
// controller, every failure of the way, and the gate.
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e.h"

namespace {

controller_fixture with_identify(uint16_t vendor, const std::string& model)
{
    controller_fixture f = ebs_volume();
    f.identify = identify_page(vendor, "vol0123456789abcdef0", model, "/dev/sdf");
    return f;
}

controller_fixture failing(int nsid_errno, int identify_errno, uint16_t identify_status)
{
    controller_fixture f = ebs_volume();
    f.nsid_errno = nsid_errno;
    f.identify_errno = identify_errno;
    f.identify_status = identify_status;
    return f;
}

// Vendor and subsystem vendor apart: the gate reads the vendor.
controller_fixture with_vendors(uint16_t vendor, uint16_t subsystem_vendor)
{
    controller_fixture f = with_identify(vendor, "Amazon Elastic Block Store");
    f.identify[2] = static_cast<uint8_t>(subsystem_vendor);
    f.identify[3] = static_cast<uint8_t>(subsystem_vendor >> 8);
    return f;
}

// "volscan: could not open /dev/NAME: File name too long\n" is 50 bytes more
// than NAME: with 1997 bytes of name the line fills 2047 bytes, the most that
// a diagnostic writes at once; longer ones take the other way out.
std::string name_of(size_t length) { return std::string(length, 'n'); }

std::string too_long(size_t length)
{
    return "volscan: could not open /dev/" + name_of(length) + ": File name too long\n";
}

struct device_case {
    const char* title;
    controller_fixture (*fixture)();
    expect_run run;
};

const std::string store = "Amazon Elastic Block Store";

const device_case device_cases[] = {
    {"controller", ebs_volume, {{"volscan", "id", "nvme0"}, ebs_identity, "", 0}},
    {"controller_with_dev_prefix", ebs_volume, {{"volscan", "id", "/dev/nvme0"}, ebs_identity, "", 0}},
    {"namespace_block_node", ebs_volume, {{"volscan", "id", "/dev/nvme0n1"}, ebs_identity, "", 0}},
    {"namespace_generic_node", ebs_volume, {{"volscan", "id", "ng0n1"}, ebs_identity, "", 0}},
    {"by_id_link", ebs_volume,
     {{"volscan", "id", "disk/by-id/nvme-Amazon_Elastic_Block_Store_vol0123456789abcdef0"}, ebs_identity, "", 0}},
    // nvme12 (another vendor's) sorts before nvme3 as text: only the number counts.
    {"multipath_head_uses_lowest_controller", ebs_volume, {{"volscan", "id", "nvme3n1"}, ebs_identity, "", 0}},
    {"namespace_stats", ebs_volume, {{"volscan-stats", "-j", "nvme0n1"}, example_json, "", 0}},
    // Diagnostics name the operand less one "/dev/", even for a namespace.
    {"other_vendor", other_vendor, {{"volscan", "id", "/dev/nvme0"}, "", "volscan: Not an EC2 disk: nvme0\n", 1}},
    {"other_vendor_namespace", other_vendor, {{"volscan", "stats", "nvme0n1"}, "", "volscan: Not an EC2 disk: nvme0n1\n", 1}},
    {"other_vendor_by_id", other_vendor,
     {{"volscan", "id", "/dev/disk/by-id/nvme-Amazon_Elastic_Block_Store_vol0123456789abcdef0"}, "",
      "volscan: Not an EC2 disk: disk/by-id/nvme-Amazon_Elastic_Block_Store_vol0123456789abcdef0\n", 1}},
    {"other_vendor_controller_in_subsystem", ebs_volume, {{"volscan", "id", "nvme12"}, "", "volscan: Not an EC2 disk: nvme12\n", 1}},
    {"vendor_checked_before_model", [] { return with_identify(0x1B36, store); },
     {{"volscan", "id", "nvme0"}, "", "volscan: Not an EC2 disk: nvme0\n", 1}},
    {"other_model", [] { return with_identify(0x1D0F, "Amazon Elastic Block Storage"); },
     {{"volscan-id", "nvme0"}, "", "volscan-id: Not an EBS or Instance Storage disk: nvme0\n", 1}},
    {"model_in_other_case", [] { return with_identify(0x1D0F, "amazon elastic block store"); },
     {{"volscan", "stats", "nvme0"}, "", "volscan: Not an EBS or Instance Storage disk: nvme0\n", 1}},
    {"empty_model", [] { return with_identify(0x1D0F, ""); },
     {{"volscan", "id", "-m", "nvme0"}, "", "volscan: Not an EBS or Instance Storage disk: nvme0\n", 1}},
    {"model_with_padding", [] { return with_identify(0x1D0F, "   " + store + std::string("  \0\0  \0", 7)); },
     {{"volscan", "id", "-m", "nvme0"}, store + "\n", "", 0}},
    {"subsystem_vendor_not_amazon", [] { return with_vendors(0x1D0F, 0x1B36); },
     {{"volscan", "id", "-m", "nvme0"}, store + "\n", "", 0}},
    {"only_subsystem_vendor_amazon", [] { return with_vendors(0x1B36, 0x1D0F); },
     {{"volscan", "id", "nvme0"}, "", "volscan: Not an EC2 disk: nvme0\n", 1}},
    {"instance_storage_passes_the_gate", instance_storage,
     {{"volscan", "id", "-m", "nvme0"}, "Amazon EC2 NVMe Instance Storage\n", "", 0}},
    // The way there.
    {"missing_node", ebs_volume, {{"volscan", "id", "nvme99"}, "", "volscan: could not open /dev/nvme99: No such file or directory\n", 1}},
    {"missing_node_with_prefix", ebs_volume,
     {{"volscan", "id", "/dev/nvme99"}, "", "volscan: could not open /dev/nvme99: No such file or directory\n", 1}},
    {"only_one_prefix_removed", ebs_volume,
     {{"volscan", "id", "/dev//dev/nvme0"}, "", "volscan: could not open /dev//dev/nvme0: No such file or directory\n", 1}},
    {"name_fills_the_diagnostic_line", ebs_volume, {{"volscan", "id", name_of(1997)}, "", too_long(1997), 1}},
    {"diagnostic_one_over_the_line", ebs_volume, {{"volscan", "id", name_of(1998)}, "", too_long(1998), 1}},
    {"diagnostic_two_over_the_line", ebs_volume, {{"volscan", "id", name_of(1999)}, "", too_long(1999), 1}},
    {"name_longer_than_the_line", ebs_volume, {{"volscan", "id", name_of(3000)}, "", too_long(3000), 1}},
    {"not_nvme", ebs_volume, {{"volscan", "id", "null"}, "", "volscan: NVME_GET_NSID failed: Inappropriate ioctl for device\n", 1}},
    {"not_nvme_stats", ebs_volume,
     {{"volscan-stats", "/dev/null"}, "", "volscan-stats: NVME_GET_NSID failed: Inappropriate ioctl for device\n", 1}},
    {"namespace_without_controller", ebs_volume,
     {{"volscan", "id", "nvme95n1"}, "", "volscan: NVME_GET_NSID failed: No such file or directory\n", 1}},
    {"controller_node_missing", ebs_volume,
     {{"volscan", "id", "nvme97n1"}, "", "volscan: could not open /dev/nvme97: No such file or directory\n", 1}},
    {"namespace_id_fails", [] { return failing(EIO, 0, 0); },
     {{"volscan", "id", "nvme0n1"}, "", "volscan: NVME_GET_NSID failed: Input/output error\n", 1}},
    {"identify_fails", [] { return failing(0, EACCES, 0); },
     {{"volscan", "id", "nvme0"}, "", "volscan: NVME_OPC_IDENTIFY failed: Permission denied\n", 1}},
    {"identify_fails_through_namespace", [] { return failing(0, EIO, 0); },
     {{"volscan", "stats", "nvme0n1"}, "", "volscan: NVME_OPC_IDENTIFY failed: Input/output error\n", 1}},
    // The completion check: Status Code and Status Code Type count, nothing else.
    {"status_invalid_field", [] { return failing(0, 0, 0x8004); },
     {{"volscan", "id", "nvme0"}, "", "volscan: identify request returned error\n", 1}},
    {"status_code_lowest_bit", [] { return failing(0, 0, 0x0002); },
     {{"volscan", "id", "nvme0"}, "", "volscan: identify request returned error\n", 1}},
    {"status_code_type_only", [] { return failing(0, 0, 0x0E00); },
     {{"volscan", "id", "nvme0"}, "", "volscan: identify request returned error\n", 1}},
    {"status_phase_only", [] { return failing(0, 0, 0x0001); }, {{"volscan", "id", "nvme0"}, ebs_identity, "", 0}},
    {"status_dnr_more_crd_only", [] { return failing(0, 0, 0xF000); }, {{"volscan", "id", "nvme0"}, ebs_identity, "", 0}},
};

void PrintTo(const device_case& c, std::ostream* os) { *os << c.title; }

struct device_test : ::testing::TestWithParam<device_case> {};

TEST_P(device_test, prints_exactly)
{
    bed_set_primary(GetParam().fixture());
    check_run(GetParam().run);
}

INSTANTIATE_TEST_SUITE_P(table, device_test, ::testing::ValuesIn(device_cases),
                         [](const auto& info) { return std::string(info.param.title); });

// A namespace is left for its controller: every admin command goes to the
// controller's node.
TEST(device, namespace_requests_go_to_the_controller)
{
    bed_set_primary(ebs_volume());
    check_run({{"volscan", "stats", "nvme3n1"}, example_text, "", 0});
    // The log was taken by check_run; run again to look at it.
    bed_volscan({"volscan", "stats", "nvme3n1"});
    EXPECT_EQ(bed_take_log().requests,
              (std::vector<std::string>{"nvme3n1: namespace id", "nvme3: identify", "nvme3: log page"}));
}

} // namespace

namespace {

// Running out of memory: the bed's shim fails the Nth asprintf, or the Nth
// malloc made by volscan itself. The sanitizers bring an allocator of their
// own that the shim cannot stand in for; their asprintf still calls the
// shim's.
struct memory_case {
    const char* title;
    const char* failure;
    expect_run run;
};

void PrintTo(const memory_case& c, std::ostream* os) { *os << c.title; }

const memory_case memory_cases[] = {
    {"device_path", "BED_FAIL_ASPRINTF=1",
     {{"volscan", "id", "nvme0"}, "", "volscan: asprintf: Cannot allocate memory\n", 1}},
    {"controller_path", "BED_FAIL_ASPRINTF=2",
     {{"volscan-stats", "nvme0n1"}, "", "volscan-stats: asprintf: Cannot allocate memory\n", 1}},
    {"model_at_the_gate", "BED_FAIL_MALLOC=1",
     {{"volscan", "stats", "nvme0"}, "", "volscan: malloc: Cannot allocate memory\n", 1}},
    {"identity_strings", "BED_FAIL_MALLOC=4",
     {{"volscan", "id", "-s", "nvme0"}, "", "volscan: malloc: Cannot allocate memory\n", 1}},
};

struct memory_test : ::testing::TestWithParam<memory_case> {};

TEST_P(memory_test, ends_with_the_diagnostic)
{
#ifdef VOLSCAN_SANITIZE
    if (strncmp(GetParam().failure, "BED_FAIL_MALLOC=", 16) == 0)
        GTEST_SKIP() << "the sanitizers' allocator cannot be made to fail";
#endif
    bed_set_primary(ebs_volume());
    run_options options;
    options.env.push_back(GetParam().failure);
    check_run(GetParam().run, options);
}

INSTANTIATE_TEST_SUITE_P(table, memory_test, ::testing::ValuesIn(memory_cases),
                         [](const auto& info) { return std::string(info.param.title); });

// The way from a namespace to its controller through sysfs, where sysfs is
// not as the driver expects. nvme95n1 (whose folder has no "device" link) is
// given one for the run.
struct sysfs_case {
    const char* title;
    std::string device_link; // empty: none
    std::string environment; // an entry for the bed's shim, or empty
    expect_run run;
};

void PrintTo(const sysfs_case& c, std::ostream* os) { *os << c.title; }

const std::string namespace_folder = "/sys/devices/virtual/block/nvme95n1";
const std::string empty_subsystem = "/sys/devices/virtual/nvme-subsystem/nvme-subsys9";

// A relative link text of the given length. The driver reads the link from
// /sys/dev/block/259:95 first, so the namespace's folder is
// "/sys/dev/block/../../devices/virtual/block/nvme95n1": 51 bytes, and 52
// with the "/" before the link's text. A text of 4043 bytes makes a path of
// 4095, with no room left for "/subsystem"; one of 4044 leaves none for the
// path's NUL.
std::string link_of(size_t length)
{
    std::string text;
    while (text.size() < length)
        text += "d/";
    return text.substr(0, length);
}

std::string no_nvme_get_nsid(const std::string& cause)
{
    return "volscan: NVME_GET_NSID failed: " + cause + "\n";
}

const sysfs_case sysfs_cases[] = {
    {"device_neither_controller_nor_subsystem", "../../../pci0000:00/0000:00:1f.0/nvme/nvme0/nvme0n1", "",
     {{"volscan", "id", "nvme95n1"}, "", no_nvme_get_nsid("No such device"), 1}},
    // sysfs's links are relative; an absolute one leads there all the same.
    {"device_link_absolute", "/sys/devices/pci0000:00/0000:00:1f.0/nvme/nvme0", "",
     {{"volscan", "id", "nvme95n1"}, ebs_identity, "", 0}},
    // Its entries only look like controllers.
    {"subsystem_without_controller", "../../nvme-subsystem/nvme-subsys9", "",
     {{"volscan", "id", "nvme95n1"}, "", no_nvme_get_nsid("No such device"), 1}},
    {"device_path_without_room_for_more", link_of(4043), "",
     {{"volscan", "id", "nvme95n1"}, "", no_nvme_get_nsid("File name too long"), 1}},
    {"device_path_longer_than_a_path", link_of(4044), "",
     {{"volscan", "id", "nvme95n1"}, "", no_nvme_get_nsid("File name too long"), 1}},
    {"fstat_fails_after_namespace_id", "", "BED_FAIL_FSTAT=1",
     {{"volscan", "id", "nvme0n1"}, "", no_nvme_get_nsid("Input/output error"), 1}},
    // On a controller the cause is the namespace request's, not fstat's.
    {"fstat_fails_on_controller", "", "BED_FAIL_FSTAT=1",
     {{"volscan", "id", "nvme0"}, "", no_nvme_get_nsid("Inappropriate ioctl for device"), 1}},
};

// A subsystem folder whose entries are named like controllers but are not
// "nvme" and a number.
void make_empty_subsystem()
{
    std::string folder = bed_root() + empty_subsystem;
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        FAIL() << "mkdir " << folder;
    char target[256];
    ssize_t length = readlink((bed_root() + "/sys/devices/virtual/nvme-subsystem/nvme-subsys3/subsystem").c_str(),
                              target, sizeof target - 1);
    ASSERT_GT(length, 0);
    target[length] = '\0';
    symlink(target, (folder + "/subsystem").c_str());
    for (const char* name : {"nvme", "nvmex", "nvme3x", "nvme+3", "nvme-3", "nvme 3"})
        symlink("../../../pci0000:00/0000:00:1b.0/nvme/nvme3", (folder + "/" + name).c_str());
}

struct sysfs_test : ::testing::TestWithParam<sysfs_case> {};

TEST_P(sysfs_test, ends_with_the_cause)
{
    const sysfs_case& c = GetParam();
    make_empty_subsystem();
    std::string link = bed_root() + namespace_folder + "/device";
    if (!c.device_link.empty()) {
        ASSERT_EQ(symlink(c.device_link.c_str(), link.c_str()), 0) << strerror(errno);
    }
    bed_set_primary(ebs_volume());
    run_options options;
    if (!c.environment.empty())
        options.env.push_back(c.environment);
    check_run(c.run, options);
    unlink(link.c_str());
}

INSTANTIATE_TEST_SUITE_P(table, sysfs_test, ::testing::ValuesIn(sysfs_cases),
                         [](const auto& info) { return std::string(info.param.title); });

} // namespace
