// SPDX-License-Identifier: BSD-2-Clause
// The exporter's two processes: the one that parses HTTP holds no privilege,
// the device side holds only what an admin command needs and answers only its
// two requests, and either one dying ends the exporter.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <pwd.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

namespace {

// The value of a line "Field:\tvalue" of /proc/PID/status.
std::string status_field(pid_t pid, const std::string& field)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\n" + field + ":\t");
    if (at == std::string::npos)
        return "(none)";
    at += field.size() + 3;
    return status.substr(at, status.find('\n', at) - at);
}

// The inodes of the sockets a process holds, and what its other descriptors name.
void descriptors(pid_t pid, std::set<std::string>* sockets, std::vector<std::string>* files)
{
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(folder.c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* entry = readdir(dir)) {
        char target[4096];
        ssize_t length = readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        std::string name(target, length);
        if (name.compare(0, 8, "socket:[") == 0)
            sockets->insert(name.substr(8, name.size() - 9));
        else
            files->push_back(name);
    }
    closedir(dir);
}

// The inodes of the machine's TCP sockets.
std::set<std::string> tcp_sockets()
{
    std::set<std::string> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::string text = read_file(table);
        size_t at = text.find('\n');
        while (at != std::string::npos && at + 1 < text.size()) {
            size_t end = text.find('\n', at + 1);
            std::string line = text.substr(at + 1, end - at - 1);
            char inode[32];
            if (sscanf(line.c_str(), "%*s %*s %*s %*s %*s %*s %*s %*s %*s %31s", inode) == 1)
                inodes.insert(inode);
            at = end;
        }
    }
    return inodes;
}

// Waits up to timeout_ms for a process of ours to end; false if it did not.
bool ended_within(const fleet_process& process, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        siginfo_t info{};
        if (waitid(P_PID, process.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid)
            return true;
        usleep(10000);
    }
    return false;
}

// A process that is gone or only waits to be reaped.
bool gone(pid_t pid)
{
    std::string state = status_field(pid, "State");
    return state == "(none)" || state[0] == 'Z';
}

} // namespace

TEST(privileges, metrics_side_holds_none)
{
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    EXPECT_EQ(http_status(http_get(port, "/metrics")), 200);
    pid_t device_side = child_of(exporter.pid);
    ASSERT_GT(device_side, 0);
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    std::string uid = std::to_string(nobody->pw_uid);
    std::string gid = std::to_string(nobody->pw_gid);
    const std::string none = "0000000000000000";
    const std::string sys_admin = "0000000000200000"; // capability 21 alone
    struct row {
        pid_t pid;
        const char* field;
        std::string value;
    } rows[] = {
        {exporter.pid, "Uid", uid + "\t" + uid + "\t" + uid + "\t" + uid},
        {exporter.pid, "Gid", gid + "\t" + gid + "\t" + gid + "\t" + gid},
        {exporter.pid, "Groups", gid + " "},
        {exporter.pid, "CapInh", none},
        {exporter.pid, "CapPrm", none},
        {exporter.pid, "CapEff", none},
        {exporter.pid, "CapBnd", none},
        {exporter.pid, "CapAmb", none},
        {exporter.pid, "NoNewPrivs", "1"},
        {exporter.pid, "Seccomp", "2"}, // a system call filter
        {device_side, "Uid", "0\t0\t0\t0"},
        {device_side, "CapPrm", sys_admin},
        {device_side, "CapEff", sys_admin},
        {device_side, "CapBnd", sys_admin},
        {device_side, "NoNewPrivs", "1"},
        {device_side, "Seccomp", "2"},
    };
    for (const row& r : rows)
        EXPECT_EQ(status_field(r.pid, r.field), r.value)
            << (r.pid == exporter.pid ? "metrics side " : "device side ") << r.field;

    // The metrics side holds no device node, the device side no TCP socket.
    std::set<std::string> network_sockets, device_sockets;
    std::vector<std::string> network_files, device_files;
    descriptors(exporter.pid, &network_sockets, &network_files);
    descriptors(device_side, &device_sockets, &device_files);
    for (const std::string& file : network_files)
        EXPECT_EQ(file.find("nvme"), std::string::npos) << file;
    std::set<std::string> tcp = tcp_sockets();
    int listening = 0;
    for (const std::string& inode : network_sockets)
        listening += tcp.count(inode);
    EXPECT_EQ(listening, 1);
    for (const std::string& inode : device_sockets)
        EXPECT_EQ(tcp.count(inode), 0u) << "device side holds TCP socket " << inode;
    EXPECT_EQ(fleet_finish(exporter, SIGTERM).status, 0);
    EXPECT_TRUE(gone(device_side));
}

TEST(privileges, either_side_dying_ends_the_exporter)
{
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    for (bool kill_device_side : {false, true}) {
        SCOPED_TRACE(kill_device_side ? "device side killed" : "metrics side killed");
        int port = free_port();
        fleet_process exporter = start_exporter(port);
        pid_t device_side = child_of(exporter.pid);
        ASSERT_GT(device_side, 0);
        kill(kill_device_side ? device_side : exporter.pid, SIGKILL);
        bool ended = ended_within(exporter, 5000);
        EXPECT_TRUE(ended);
        run_result result = fleet_finish(exporter, ended ? 0 : SIGKILL);
        if (kill_device_side) {
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.err, start_line(port) + "volscan-exporter: the device side ended\n");
        } else {
            EXPECT_EQ(result.status, 128 + SIGKILL);
            for (int tries = 0; tries < 500 && !gone(device_side); tries++)
                usleep(10000);
            EXPECT_TRUE(gone(device_side));
        }
    }
}

TEST(privileges, device_side_refuses_other_requests)
{
    fleet_scope bed({plain(fleet_ebs_volume(0)), plain(other_vendor())});
    run_result result = fleet_run(DEVICE_SIDE_PROBE, {"device_side_probe"});
    EXPECT_EQ(result.out, "nvme0 before a list: refused\n"
                          "list: nvme0 nvme1\n"
                          "nvme0: nvme0 identified with statistics\n"
                          "nvme1: nvme1\n" // another vendor's: read, and not identified
                          "nvme9, not listed: refused\n"
                          "namespace nvme0n1: refused\n"
                          "path ../nvme0: refused\n"
                          "path /dev/nvme0: refused\n"
                          "kind 0: refused\n"
                          "kind 3: refused\n"
                          "a name without its end: refused\n"
                          "a list request one byte long: refused\n"
                          "a list request one byte short: refused\n"
                          "an empty record: refused\n" // not the end of the link
                          "list after it: nvme0 nvme1\n"
                          "device side ended with 0\n");
    const std::string refused = "volscan-exporter: device side: refused ";
    EXPECT_EQ(result.err, refused + "a controller it has not listed\n"
                              + refused + "a controller it has not listed\n"
                              + refused + "a name that is not an NVMe controller's\n"
                              + refused + "a name that is not an NVMe controller's\n"
                              + refused + "a name that is not an NVMe controller's\n"
                              + refused + "a request of an unknown kind\n"
                              + refused + "a request of an unknown kind\n"
                              + refused + "a name that is not an NVMe controller's\n"
                              + refused + "a record of the wrong size\n"
                              + refused + "a record of the wrong size\n"
                              + refused + "a record of the wrong size\n");
    EXPECT_EQ(result.status, 0);
}

TEST(privileges, device_side_logs_a_flood_of_refusals_in_bounds)
{
    // A thousand refused records (empty ones among them), each answered:
    // sixteen lines say why, one how many more, and it goes on serving.
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    run_result result = fleet_run(DEVICE_SIDE_PROBE, {"device_side_probe", "flood"});
    EXPECT_EQ(result.out, "flood: 1000 refused\n"
                          "list: nvme0\n"
                          "device side ended with 0\n");
    const std::string side = "volscan-exporter: device side: ";
    std::string lines;
    // The first sixteen records: sizes 0, whole, whole, 0...; kinds read and 0 in turn.
    for (int i = 0; i < 16; i++)
        lines += side + "refused "
            + (i % 3 == 0 ? "a record of the wrong size\n"
                          : i % 2 ? "a request of an unknown kind\n"
                                  : "a controller it has not listed\n");
    EXPECT_EQ(result.err, lines + side + "refused 984 more records, beyond 16 lines a minute\n");
    EXPECT_EQ(result.status, 0);
}

TEST(privileges, failed_privilege_call_stops_the_start)
{
    // Each call of the device side's made to fail in turn: the exporter must
    // not serve with a device side that kept more than it should.
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    const std::string side = "volscan-exporter: device side: ";
    struct row {
        const char* call;
        std::string message;
    } rows[] = {
        {"pdeathsig", side + "cannot be ended with the metrics side: Operation not permitted\n"},
        {"capbset_drop", side + "cannot keep CAP_SYS_ADMIN alone: Operation not permitted\n"},
        {"capset", side + "cannot keep CAP_SYS_ADMIN alone: Operation not permitted\n"},
        {"no_new_privs", side + "cannot give up new privileges: Operation not permitted\n"},
        {"seccomp", side + "cannot filter its system calls: Operation not permitted\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.call);
        int port = free_port();
        fleet_process exporter = fleet_spawn(
            exporter_binary,
            {"volscan-exporter", "--web.listen-address=127.0.0.1:" + std::to_string(port),
             "--web.user=nobody"},
            {"PRIVILEGE_FAULT=" + std::string(r.call),
             "LD_PRELOAD=" PRIVILEGE_FAULT ":" BED_SHIM ":libumockdev-preload.so.0"});
        bool ended = ended_within(exporter, 5000);
        EXPECT_TRUE(ended) << "it served";
        run_result result = fleet_finish(exporter, ended ? 0 : SIGKILL);
        EXPECT_EQ(result.err, r.message);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 1);
    }
}

TEST(privileges, device_side_ends_with_the_metrics_side)
{
    // The metrics side killed while a reader of the device side waits for a
    // hung controller; the same where the metrics side is still root (text
    // files), which the kernel lets signal the device side as it ends.
    fleet_scope bed({plain(fleet_ebs_volume(0)), plain(fleet_ebs_volume(1))});
    temporary_folder folder;
    for (bool textfile : {false, true}) {
        SCOPED_TRACE(textfile ? "text files" : "HTTP");
        fleet_set_delay(1, 60000);
        int port = free_port();
        fleet_process exporter = textfile
            ? fleet_spawn(exporter_binary, {"volscan-exporter", "--scrape.timeout=0.2",
                                            "--textfile.output=" + folder.path + "/ebs.prom",
                                            "--textfile.interval=60"})
            : start_exporter(port, {"--scrape.timeout=0.2"});
        if (!textfile) {
            EXPECT_EQ(http_status(http_get(port, "/metrics")), 200);
        }
        for (int tries = 0; tries < 300 && fleet_pending(1) == 0; tries++)
            usleep(10000);
        EXPECT_EQ(fleet_pending(1), 1);
        pid_t device_side = child_of(exporter.pid);
        ASSERT_GT(device_side, 0);
        kill(exporter.pid, SIGKILL);
        EXPECT_EQ(fleet_finish(exporter, 0).status, 128 + SIGKILL);
        for (int tries = 0; tries < 300 && !gone(device_side); tries++)
            usleep(10000);
        EXPECT_TRUE(gone(device_side));
        if (!gone(device_side))
            kill(device_side, SIGKILL);
        // The held command is answered now, before the next round counts it.
        fleet_set_delay(1, 0);
        for (int tries = 0; tries < 300 && fleet_pending(1) != 0; tries++)
            usleep(10000);
    }
}

TEST(privileges, device_side_ends_after_its_grace_period)
{
    // Its main thread held where the closed link cannot wake it: in a write
    // to a log that nobody reads. Its watchdog ends it 2 s later.
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    run_result result = fleet_run(DEVICE_SIDE_PROBE, {"device_side_probe", "watchdog"});
    EXPECT_EQ(result.out, "device side ended with 0 after 2 s\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
}

TEST(privileges, text_file_writer_holds_none)
{
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    temporary_folder folder;
    std::string output = folder.path + "/ebs.prom";
    fleet_process exporter = fleet_spawn(exporter_binary, {"volscan-exporter",
                                                           "--textfile.output=" + output,
                                                           "--textfile.interval=1"});
    for (int tries = 0; tries < 500 && access(output.c_str(), F_OK) != 0; tries++)
        usleep(10000);
    EXPECT_EQ(access(output.c_str(), F_OK), 0);
    pid_t device_side = child_of(exporter.pid);
    ASSERT_GT(device_side, 0);
    const std::string none = "0000000000000000";
    const std::string sys_admin = "0000000000200000";
    struct row {
        pid_t pid;
        const char* field;
        std::string value;
    } rows[] = {
        {exporter.pid, "Uid", "0\t0\t0\t0"}, // writes as the user it was started as
        {exporter.pid, "CapInh", none},
        {exporter.pid, "CapPrm", none},
        {exporter.pid, "CapEff", none},
        {exporter.pid, "CapBnd", none},
        {exporter.pid, "CapAmb", none},
        {exporter.pid, "NoNewPrivs", "1"},
        {exporter.pid, "Seccomp", "2"},
        {device_side, "CapEff", sys_admin},
        {device_side, "CapBnd", sys_admin},
    };
    for (const row& r : rows)
        EXPECT_EQ(status_field(r.pid, r.field), r.value)
            << (r.pid == exporter.pid ? "writer " : "device side ") << r.field;
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, "volscan-exporter: version 1.0.0 writing " + output
                              + " every 1 s, reading up to 8 devices at once\n"
                              + found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(read_file(output).find("ebs_read_ops_total{"), std::string::npos);
}

TEST(privileges, system_call_filters)
{
    // What each side may no longer do, tried from within it; what it needs still works.
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    run_result device = fleet_run(DEVICE_SIDE_PROBE, {"device_side_probe", "device-filter"});
    // It reads, and writes its log; it opens no file for writing, makes or
    // empties none, and writes to no other descriptor.
    EXPECT_EQ(device.out, "list: nvme0\n"
                          "nvme0: nvme0 identified with statistics\n"
                          "openat for reading: allowed\n"
                          "openat for writing: Operation not permitted\n"
                          "openat for reading and writing: Operation not permitted\n"
                          "openat to append: Operation not permitted\n"
                          "openat to create, read-only: Operation not permitted\n"
                          "openat to empty, read-only: Operation not permitted\n"
                          "openat a nameless file: Operation not permitted\n"
                          "open for writing: Operation not permitted\n"
                          "creat: Operation not permitted\n"
                          "openat2 to create: Function not implemented\n"
                          "write to another descriptor: Operation not permitted\n"
                          "writev to another descriptor: Operation not permitted\n"
                          "pwrite64 to another descriptor: Operation not permitted\n"
                          "execve: Operation not permitted\n"
                          "socket AF_INET: Operation not permitted\n"
                          "socket AF_NETLINK: Operation not permitted\n"
                          "ptrace: Operation not permitted\n"
                          "kill: Operation not permitted\n"
                          "setuid: Operation not permitted\n"
                          "ioctl FIONREAD: Operation not permitted\n"
                          "nvme0 again: nvme0 identified with statistics\n"
                          "device side ended with 0\n"
                          "a file made: no\n"
                          "the file kept: unchanged\n");
    EXPECT_EQ(device.err, "");
    EXPECT_EQ(device.status, 0);
    run_result network = fleet_run(DEVICE_SIDE_PROBE, {"device_side_probe", "metrics-filter"});
#ifdef VOLSCAN_SANITIZE
    // LeakSanitizer stops the threads with ptrace to check the process at its end.
    const char* ptrace = "ptrace: allowed\n";
#else
    const char* ptrace = "ptrace: Operation not permitted\n";
#endif
    EXPECT_EQ(network.out, std::string("execve: Operation not permitted\n"
                                       "execveat: Operation not permitted\n")
                               + ptrace
                               + "process_vm_readv: Operation not permitted\n"
                                 "process_vm_writev: Operation not permitted\n"
                                 "pidfd_getfd: Operation not permitted\n"
                                 "kcmp: Operation not permitted\n"
                                 "mount: Operation not permitted\n"
                                 // no namespace, by any call
                                 "unshare: Operation not permitted\n"
                                 "unshare CLONE_NEWUSER: Operation not permitted\n"
                                 "setns: Operation not permitted\n"
                                 "clone, a process: allowed\n"
                                 "clone CLONE_NEWUSER: Operation not permitted\n"
                                 "clone CLONE_NEWNET: Operation not permitted\n"
                                 "clone CLONE_NEWNS|CLONE_NEWPID|CLONE_NEWIPC|CLONE_NEWUTS: "
                                 "Operation not permitted\n"
                                 "clone CLONE_NEWCGROUP: Operation not permitted\n"
                                 // which sends the C library back to clone
                                 "clone3, a process: Function not implemented\n"
                                 "clone3 CLONE_NEWUSER: Function not implemented\n"
                                 "bpf: Operation not permitted\n"
                                 "socket AF_NETLINK: Operation not permitted\n"
                                 "socket AF_PACKET: Operation not permitted\n"
                                 "ioctl TIOCSTI: Operation not permitted\n"
                                 "socket AF_INET: allowed\n"
                                 "socket AF_INET6: allowed\n"
                                 "socketpair AF_UNIX: allowed\n"
                                 "ioctl FIONREAD: allowed\n"
                                 "open and read a file: allowed\n"
                                 "a thread: allowed\n");
    EXPECT_EQ(network.err, "");
    EXPECT_EQ(network.status, 0);
}
