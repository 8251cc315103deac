// SPDX-License-Identifier: BSD-2-Clause
// The identity report: which lines, in which order, from which fields, and
// that an instance-storage disk never gets half an answer.
#include "e2e.h"

#include <fcntl.h>

namespace {

using bytes = std::string; // field contents, NULs included

controller_fixture identity(const bytes& serial, const bytes& model, const bytes& bdev)
{
    controller_fixture f = ebs_volume();
    f.identify = identify_page(0x1D0F, serial, model, bdev);
    return f;
}

const bytes ebs = "Amazon Elastic Block Store";
const bytes storage = "Amazon EC2 NVMe Instance Storage";

struct identity_case {
    const char* title;
    bytes serial, model, bdev;
    std::vector<std::string> options;
    std::string out, err;
    int status;
};

void PrintTo(const identity_case& c, std::ostream* os) { *os << c.title; }

const std::string not_ebs = "volscan: Not an EBS device: nvme0\n";

const identity_case identity_cases[] = {
    // Which lines, always in the same order.
    {"defaults", "vol0abc", ebs, "/dev/sdf", {}, "Volume ID: vol-0abc\nsdf\n", "", 0},
    {"all_four_in_fixed_order", "vol0abc", ebs, "/dev/sdf", {"-s", "-v", "-m", "-b"},
     "Volume ID: vol-0abc\nsdf\nAmazon Elastic Block Store\nvol0abc\n", "", 0},
    {"u_is_b", "vol0abc", ebs, "xvdf", {"-u"}, "xvdf\n", "", 0},
    {"volume_only", "vol0abc", ebs, "/dev/sdf", {"-v"}, "Volume ID: vol-0abc\n", "", 0},
    {"serial_only", "vol0abc", ebs, "/dev/sdf", {"-s"}, "vol0abc\n", "", 0},
    {"model_and_serial", "vol0abc", ebs, "/dev/sdf", {"-s", "-m"}, "Amazon Elastic Block Store\nvol0abc\n", "", 0},
    // The volume ID from the serial number.
    {"hyphen_present", "vol-0abc", ebs, "sdf", {"-v"}, "Volume ID: vol-0abc\n", "", 0},
    {"no_vol_prefix", "abc", ebs, "sdf", {"-v"}, "Volume ID: abc\n", "", 0},
    {"exactly_vol", "vol", ebs, "sdf", {"-v"}, "Volume ID: vol-\n", "", 0},
    {"vo_only", "vo", ebs, "sdf", {"-v"}, "Volume ID: vo\n", "", 0},
    {"upper_case_vol", "VOL0abc", ebs, "sdf", {"-v"}, "Volume ID: VOL0abc\n", "", 0},
    {"serial_all_spaces", "", ebs, "sdf", {"-v", "-s"}, "Volume ID: \n\n", "", 0},
    {"serial_leading_spaces", "  vol0abc", ebs, "sdf", {"-v"}, "Volume ID: vol-0abc\n", "", 0},
    {"serial_inner_nul", bytes("vol0abc\0xyz", 11), ebs, "sdf", {"-v", "-s"}, "Volume ID: vol-0abc\nvol0abc\n", "", 0},
    {"serial_nul_first", bytes("\0vol0abc", 8), ebs, "sdf", {"-v"}, "Volume ID: \n", "", 0},
    {"serial_full_width", "vol0123456789abcdef0", ebs, "sdf", {"-v"}, "Volume ID: vol-0123456789abcdef0\n", "", 0},
    // The block-device name.
    {"bdev_without_prefix", "vol0abc", ebs, "sdf", {"-b"}, "sdf\n", "", 0},
    {"bdev_only_prefix", "vol0abc", ebs, "/dev/", {"-b"}, "\n", "", 0},
    {"bdev_prefix_once", "vol0abc", ebs, "/dev//dev/sdf", {"-b"}, "/dev/sdf\n", "", 0},
    {"bdev_spaces_and_nuls", "vol0abc", ebs, bytes("  \0 \0\0  ", 9), {"-b"}, "\n", "", 0},
    {"bdev_inner_nul", "vol0abc", ebs, bytes("/dev/sdf\0junk", 13), {"-b"}, "sdf\n", "", 0},
    {"bdev_full_width", "vol0abc", ebs, "/dev/abcdefghijklmnopqrstuvwxyz0", {"-b"}, "abcdefghijklmnopqrstuvwxyz0\n", "", 0},
    {"bdev_inner_space_kept", "vol0abc", ebs, "sd f", {"-b"}, "sd f\n", "", 0},
    // The model as it stands, less its padding.
    {"model_padding", "vol0abc", "  " + ebs + bytes("\0\0 \0", 4), "sdf", {"-m"}, "Amazon Elastic Block Store\n", "", 0},
    // An instance-storage disk has a model and a serial number, and nothing else.
    {"storage_defaults", "AWS1234", storage, "", {}, "", not_ebs, 1},
    {"storage_model", "AWS1234", storage, "", {"-m"}, storage + "\n", "", 0},
    {"storage_serial", "AWS1234", storage, "", {"-s"}, "AWS1234\n", "", 0},
    {"storage_model_and_volume", "AWS1234", storage, "", {"-m", "-v"}, "", not_ebs, 1},
    {"storage_serial_and_bdev", "AWS1234", storage, "sdf", {"-s", "-b"}, "", not_ebs, 1},
    {"storage_all", "vol0abc", storage, "sdf", {"-b", "-m", "-s", "-v"}, "", not_ebs, 1},
};

struct identity_test : ::testing::TestWithParam<identity_case> {};

TEST_P(identity_test, prints_exactly)
{
    const identity_case& c = GetParam();
    bed_set_primary(identity(c.serial, c.model, c.bdev));
    std::vector<std::string> argv = {"volscan", "id"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    argv.push_back("nvme0");
    check_run({argv, c.out, c.err, c.status});
}

INSTANTIATE_TEST_SUITE_P(table, identity_test, ::testing::ValuesIn(identity_cases),
                         [](const auto& info) { return std::string(info.param.title); });

// An empty answer must never pass for a name: output that cannot be written
// ends with a diagnostic and status 1.
struct lost_output_case {
    const char* title;
    controller_fixture (*fixture)();
    std::vector<std::string> argv;
    bool close_stdout;
    std::string err;
};

void PrintTo(const lost_output_case& c, std::ostream* os) { *os << c.title; }

const lost_output_case lost_output_cases[] = {
    {"full_disk", ebs_volume, {"volscan", "id", "nvme0"}, false, "volscan: stdout: No space left on device\n"},
    {"full_disk_alias", ebs_volume, {"volscan-id", "-s", "nvme0n1"}, false, "volscan-id: stdout: No space left on device\n"},
    {"full_disk_storage_model", instance_storage, {"volscan", "id", "-m", "nvme0"}, false,
     "volscan: stdout: No space left on device\n"},
    {"closed_stdout", ebs_volume, {"volscan", "id", "nvme0"}, true, "volscan: stdout: Bad file descriptor\n"},
    {"closed_stdout_namespace", ebs_volume, {"volscan", "id", "-v", "nvme0n1"}, true,
     "volscan: stdout: Bad file descriptor\n"},
    {"closed_stdout_storage_model", instance_storage, {"volscan", "id", "-m", "nvme0"}, true,
     "volscan: stdout: Bad file descriptor\n"},
};

struct lost_output_test : ::testing::TestWithParam<lost_output_case> {};

TEST_P(lost_output_test, fails_loudly)
{
    const lost_output_case& c = GetParam();
    bed_set_primary(c.fixture());
    run_options options;
    if (c.close_stdout)
        options.close_stdout = true;
    else
        options.stdout_path = "/dev/full";
    check_run({c.argv, "", c.err, 1}, options);
}

INSTANTIATE_TEST_SUITE_P(table, lost_output_test, ::testing::ValuesIn(lost_output_cases),
                         [](const auto& info) { return std::string(info.param.title); });

} // namespace
