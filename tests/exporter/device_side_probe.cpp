// SPDX-License-Identifier: BSD-2-Clause
// Runs the exporter's device side on the bed and sends it requests as a
// compromised metrics side might: each line of output is one request and
// what came back.
//
// device-filter: instead, reads a controller, then tries from within the
// device side what its system call filter refuses (writing files, making
// them, writing to a descriptor other than its log), and reads again; then
// says whether a file was made or changed.
// metrics-filter: takes the metrics side's filter and tries what it refuses
// (namespaces by every call, reaching into other processes), and what it
// allows.
// watchdog: holds the device side's main thread in a write to standard error
// that nobody reads, closes the link, and says when the device side ended.
// flood: sends records it refuses, many more than it logs, and closes the
// link. flood-minute: the same, but waits with the link open for the line
// that counts the refusals left out, which comes once their minute is over.
#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "exporter/device/device_side.h"
#include "exporter/sandbox.h"

// One line: what was tried, and "allowed" or why not.
static size_t tried(char* line, size_t size, const char* what, long result)
{
    int length = snprintf(line, size, "%s: %s\n", what, result >= 0 ? "allowed" : strerror(errno));
    return length < 0 ? 0 : static_cast<size_t>(length) < size ? length : size - 1;
}

// A call that failed for any reason but EPERM reached the kernel: allowed.
static long past_filter(long result)
{
    return result < 0 && errno == EPERM ? -1 : 0;
}

// The files the device side tries to write, make and empty, in a folder of
// the probe's own; and a pipe that is not its log.
static std::string folder, kept_file, new_file;
static int other[2];

// open(2) itself where this architecture has the call, else openat as the C
// library sends it.
static long open_call(const char* path, int flags)
{
#ifdef SYS_open
    return syscall(SYS_open, path, flags, 0600);
#else
    return syscall(SYS_openat, AT_FDCWD, path, flags, 0600);
#endif
}

static long creat_call(const char* path)
{
#ifdef SYS_creat
    return syscall(SYS_creat, path, 0600);
#else
    return syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
#endif
}

// Harmless where no filter stands in the way: each fails for another reason,
// or does nothing. The opens that succeed are closed.
static void forbidden_in_device_side(int link, char* out, size_t size)
{
    char* const no_arguments[] = {nullptr};
    size_t used = 0;
    int unread;
    struct {
        const char* what;
        const std::string& path;
        int flags;
    } opens[] = {
        {"openat for reading", kept_file, O_RDONLY},
        {"openat for writing", kept_file, O_WRONLY},
        {"openat for reading and writing", kept_file, O_RDWR},
        {"openat to append", kept_file, O_WRONLY | O_APPEND},
        {"openat to create, read-only", new_file, O_RDONLY | O_CREAT},
        {"openat to empty, read-only", kept_file, O_RDONLY | O_TRUNC},
        {"openat a nameless file", folder, O_RDWR | O_TMPFILE},
    };
    for (const auto& row : opens) {
        long opened = openat(AT_FDCWD, row.path.c_str(), row.flags, 0600);
        used += tried(out + used, size - used, row.what, opened);
        if (opened >= 0)
            close(static_cast<int>(opened));
    }
    long opened = open_call(kept_file.c_str(), O_WRONLY);
    used += tried(out + used, size - used, "open for writing", opened);
    if (opened >= 0)
        close(static_cast<int>(opened));
    opened = creat_call(new_file.c_str());
    used += tried(out + used, size - used, "creat", opened);
    if (opened >= 0)
        close(static_cast<int>(opened));
    uint64_t how[3] = {O_WRONLY | O_CREAT, 0600, 0}; // flags, mode, resolve
    opened = syscall(SYS_openat2, AT_FDCWD, new_file.c_str(), how, sizeof how);
    used += tried(out + used, size - used, "openat2 to create", opened);
    if (opened >= 0)
        close(static_cast<int>(opened));
    used += tried(out + used, size - used, "write to another descriptor", write(other[1], "x", 1));
    iovec piece{const_cast<char*>("x"), 1};
    used += tried(out + used, size - used, "writev to another descriptor",
                  writev(other[1], &piece, 1));
    used += tried(out + used, size - used, "pwrite64 to another descriptor",
                  pwrite(other[1], "x", 1, 0) >= 0 || errno == ESPIPE ? 0 : -1);
    used += tried(out + used, size - used, "execve",
                  execve("/nonexistent-volscan", no_arguments, no_arguments));
    long s = socket(AF_INET, SOCK_STREAM, 0);
    used += tried(out + used, size - used, "socket AF_INET", s);
    if (s >= 0)
        close(s);
    s = socket(AF_NETLINK, SOCK_RAW, 0);
    used += tried(out + used, size - used, "socket AF_NETLINK", s);
    if (s >= 0)
        close(s);
    used += tried(out + used, size - used, "ptrace",
                  past_filter(syscall(SYS_ptrace, -1L, 0, 0, 0)));
    used += tried(out + used, size - used, "kill", kill(getpid(), 0));
    used += tried(out + used, size - used, "setuid", syscall(SYS_setuid, 0));
    used += tried(out + used, size - used, "ioctl FIONREAD", ioctl(link, FIONREAD, &unread));
}

static int go[2], said[2], device_link;

// Says what it found on standard error, the one descriptor the device side
// may write to, which is the pipe said here; a line "end" closes it.
static void* try_when_told(void*)
{
    char byte;
    if (read(go[0], &byte, 1) != 1)
        return nullptr;
    static char out[4096];
    forbidden_in_device_side(device_link, out, sizeof out - 4);
    strcat(out, "end\n");
    if (write(STDERR_FILENO, out, strlen(out)) < 0)
        return nullptr;
    return nullptr;
}

// What the device side said, up to its line "end", within 5 s.
static std::string report_from_device_side()
{
    std::string report;
    while (report.size() < 4 || report.compare(report.size() - 4, 4, "end\n") != 0) {
        pollfd answer{said[0], POLLIN, 0};
        char out[1024];
        ssize_t got;
        if (poll(&answer, 1, 5000) != 1 || (got = read(said[0], out, sizeof out)) <= 0)
            return report + "(no more word from within the device side)\n";
        report.append(out, got);
    }
    return report.substr(0, report.size() - 4);
}

// A folder of the probe's own, with one file in it.
static bool make_files()
{
    char name[] = "/tmp/volscan-probe-XXXXXX";
    if (mkdtemp(name) == nullptr)
        return false;
    folder = name;
    kept_file = folder + "/kept";
    new_file = folder + "/new";
    FILE* file = fopen(kept_file.c_str(), "w");
    return file != nullptr && fputs("kept\n", file) >= 0 && fclose(file) == 0;
}

// Whether the device side made or changed a file; then removes them.
static void check_files()
{
    char content[64] = "";
    FILE* file = fopen(kept_file.c_str(), "r");
    size_t got = file ? fread(content, 1, sizeof content - 1, file) : 0;
    if (file)
        fclose(file);
    content[got] = '\0';
    bool made = access(new_file.c_str(), F_OK) == 0;
    printf("a file made: %s\nthe file kept: %s\n", made ? "yes" : "no",
           strcmp(content, "kept\n") == 0 ? "unchanged" : "changed");
    unlink(new_file.c_str());
    unlink(kept_file.c_str());
    rmdir(folder.c_str());
}

static void* nothing(void*)
{
    return nullptr;
}

static int metrics_filter()
{
    if (!confine_metrics_side())
        return 1;
    setvbuf(stdout, nullptr, _IONBF, 0);
    char line[256];
    auto say = [&](const char* what, long result) {
        tried(line, sizeof line, what, result);
        fputs(line, stdout);
    };
    char* const no_arguments[] = {nullptr};
    say("execve", execve("/nonexistent-volscan", no_arguments, no_arguments));
    say("execveat", syscall(SYS_execveat, -1, "", no_arguments, no_arguments, 0));
    say("ptrace", past_filter(syscall(SYS_ptrace, -1L, 0, 0, 0)));
    say("process_vm_readv", past_filter(process_vm_readv(getpid(), nullptr, 0, nullptr, 0, 0)));
    say("process_vm_writev", past_filter(process_vm_writev(getpid(), nullptr, 0, nullptr, 0, 0)));
    say("pidfd_getfd", past_filter(syscall(SYS_pidfd_getfd, -1, 0, 0)));
    say("kcmp", past_filter(syscall(SYS_kcmp, getpid(), getpid(), 0, 0, 0)));
    say("mount", past_filter(mount("none", "/nonexistent-volscan", "tmpfs", 0, nullptr)));
    say("unshare", unshare(0));
    say("unshare CLONE_NEWUSER", unshare(CLONE_NEWUSER));
    say("setns", past_filter(setns(-1, 0)));
    // A child that ends at once, wherever the call made it.
    struct {
        const char* what;
        unsigned long flags;
    } clones[] = {
        {"clone, a process", 0},
        {"clone CLONE_NEWUSER", CLONE_NEWUSER},
        {"clone CLONE_NEWNET", CLONE_NEWNET},
        {"clone CLONE_NEWNS|CLONE_NEWPID|CLONE_NEWIPC|CLONE_NEWUTS",
         CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWIPC | CLONE_NEWUTS},
        {"clone CLONE_NEWCGROUP", CLONE_NEWCGROUP},
    };
    for (const auto& row : clones) {
        long child = syscall(SYS_clone, row.flags | SIGCHLD, 0, 0, 0, 0);
        if (child == 0)
            _exit(0);
        if (child > 0)
            waitpid(static_cast<pid_t>(child), nullptr, 0);
        say(row.what, child);
    }
    for (unsigned long flags : {0UL, static_cast<unsigned long>(CLONE_NEWUSER)}) {
        // flags, pidfd, child_tid, parent_tid, exit_signal, stack, stack_size, tls
        uint64_t arguments[8] = {flags, 0, 0, 0, SIGCHLD, 0, 0, 0};
        long child = syscall(SYS_clone3, arguments, sizeof arguments);
        if (child == 0)
            _exit(0);
        if (child > 0)
            waitpid(static_cast<pid_t>(child), nullptr, 0);
        say(flags ? "clone3 CLONE_NEWUSER" : "clone3, a process", child);
    }
    say("bpf", past_filter(syscall(SYS_bpf, -1, nullptr, 0)));
    struct {
        const char* what;
        int family, type;
    } sockets[] = {{"socket AF_NETLINK", AF_NETLINK, SOCK_RAW},
                   {"socket AF_PACKET", AF_PACKET, SOCK_RAW}};
    for (const auto& row : sockets) {
        long s = socket(row.family, row.type, 0);
        say(row.what, s);
        if (s >= 0)
            close(s);
    }
    char c = 0;
    say("ioctl TIOCSTI", past_filter(ioctl(0, TIOCSTI, &c)));
    long inet = socket(AF_INET, SOCK_STREAM, 0);
    say("socket AF_INET", inet);
    long inet6 = socket(AF_INET6, SOCK_STREAM, 0);
    say("socket AF_INET6", inet6);
    int pair[2];
    say("socketpair AF_UNIX", socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    int unread;
    say("ioctl FIONREAD", ioctl(static_cast<int>(inet), FIONREAD, &unread));
    int file = open("/proc/self/status", O_RDONLY);
    char buffer[64];
    say("open and read a file", file >= 0 ? read(file, buffer, sizeof buffer) : -1);
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, nothing, nullptr);
    if (error == 0)
        pthread_join(thread, nullptr);
    errno = error;
    say("a thread", error == 0 ? 0 : -1);
    return 0;
}

static int link_socket;

static void ask(const char* what, const void* record, size_t size)
{
    send(link_socket, record, size, MSG_NOSIGNAL);
    pollfd ready{link_socket, POLLIN, 0};
    static union {
        list_answer list;
        read_answer read;
    } answer;
    if (poll(&ready, 1, 5000) != 1) {
        printf("%s: no answer\n", what);
        return;
    }
    ssize_t got = recv(link_socket, &answer, sizeof answer, 0);
    uint32_t tag = 0; // a record too short to hold one is answered with 0
    if (size >= 8)
        memcpy(&tag, static_cast<const char*>(record) + 4, sizeof tag);
    printf("%s:", what);
    if (got == sizeof answer.list && answer.list.kind == list_answer_kind) {
        for (int i = 0; i < answer.list.count; i++)
            printf(" %s", answer.list.controllers[i].controller);
    } else if (got >= static_cast<ssize_t>(offsetof(read_answer, page))
               && answer.read.kind == read_answer_kind) {
        printf(" %s%s%s", answer.read.controller, answer.read.identified ? " identified" : "",
               answer.read.has_stats ? " with statistics" : "");
    } else if (got >= static_cast<ssize_t>(offsetof(read_answer, page))
               && answer.read.kind == refusal_kind)
        printf(" refused");
    else
        printf(" %zd bytes", got);
    if (answer.read.tag != tag)
        printf(" (tag %u for %u)", answer.read.tag, tag);
    printf("\n");
}

static device_request request(uint32_t kind, uint32_t tag, const char* controller)
{
    device_request r{};
    r.kind = kind;
    r.tag = tag;
    strncpy(r.controller, controller, sizeof r.controller);
    return r;
}

static int wait_for(pid_t child)
{
    close(link_socket);
    for (int tries = 0; tries < 500; tries++) {
        int status;
        if (waitpid(child, &status, WNOHANG) == child) {
            printf("device side ended with %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            return 0;
        }
        usleep(10000);
    }
    printf("device side still running\n");
    return 1;
}

// Fills the pipe of standard error, so that the next line written waits.
static bool fill_log()
{
    int flags = fcntl(STDERR_FILENO, F_GETFL);
    if (flags < 0 || fcntl(STDERR_FILENO, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    static const char block[4096] = {};
    while (write(STDERR_FILENO, block, sizeof block) > 0) {
    }
    return errno == EAGAIN && fcntl(STDERR_FILENO, F_SETFL, flags) == 0;
}

// Refusals while the device side's log, a pipe nobody reads, is full: its main
// thread waits to write the first, and answers no more.
static int watchdog(pid_t child, int log)
{
    device_request r = request(0, 1, "nvme0"); // a kind it refuses, and logs
    static union {
        list_answer list;
        read_answer read;
    } answer;
    int silent = 0;
    for (int sent = 0; sent < 5000 && silent < 50; sent++) {
        send(link_socket, &r, sizeof r, MSG_NOSIGNAL | MSG_DONTWAIT);
        pollfd ready{link_socket, POLLIN, 0};
        if (poll(&ready, 1, 20) == 1) {
            recv(link_socket, &answer, sizeof answer, 0);
            silent = 0;
        } else
            silent++;
    }
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    close(link_socket);
    for (int tries = 0; tries < 600; tries++) {
        int status;
        if (waitpid(child, &status, WNOHANG) == child) {
            clock_gettime(CLOCK_MONOTONIC, &end);
            double seconds = end.tv_sec - start.tv_sec + (end.tv_nsec - start.tv_nsec) / 1e9;
            printf("device side ended with %d after %.0f s\n",
                   WIFEXITED(status) ? WEXITSTATUS(status) : -1, seconds);
            close(log);
            return 0;
        }
        usleep(10000);
    }
    printf("device side still running\n");
    kill(child, SIGKILL);
    close(log);
    return 1;
}

int main(int argc, char** argv)
{
    bool filter = argc > 1 && strcmp(argv[1], "device-filter") == 0;
    bool stuck = argc > 1 && strcmp(argv[1], "watchdog") == 0;
    bool minute = argc > 1 && strcmp(argv[1], "flood-minute") == 0;
    bool flood = minute || (argc > 1 && strcmp(argv[1], "flood") == 0);
    if (argc > 1 && strcmp(argv[1], "metrics-filter") == 0)
        return metrics_filter();
    int log[2];
    if (stuck && pipe(log) != 0)
        return 2;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0 || pipe(go) != 0 || pipe(said) != 0
        || pipe(other) != 0 || (filter && !make_files()))
        return 2;
    pid_t child = fork();
    if (child == 0) {
        close(pair[0]);
        // A thread of the device side's process from before its filter,
        // which the filter covers too.
        device_link = pair[1];
        pthread_t trier;
        if (filter && pthread_create(&trier, nullptr, try_when_told, nullptr) != 0)
            _exit(2);
        if ((filter || minute) && dup2(said[1], STDERR_FILENO) != STDERR_FILENO)
            _exit(2);
        if (stuck && (dup2(log[1], 2) != 2 || !fill_log()))
            _exit(2);
        run_device_side(pair[1], 2);
    }
    close(pair[1]);
    link_socket = pair[0];
    setvbuf(stdout, nullptr, _IONBF, 0);
    uint32_t ready = 0;
    pollfd started{link_socket, POLLIN, 0};
    if (poll(&started, 1, 5000) != 1 || recv(link_socket, &ready, sizeof ready, 0) != sizeof ready
        || ready != ready_kind) {
        printf("device side not ready\n");
        return 1;
    }

    if (stuck) {
        close(log[1]);
        return watchdog(child, log[0]);
    }
    device_request r;
    if (flood) {
        // Records of every kind it refuses, each answered, then one it serves.
        timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        int refused = 0;
        for (int i = 0; i < 1000; i++) {
            r = request(i % 2 ? 0 : read_request, i, i % 2 ? "nvme0" : "nvme9");
            send(link_socket, &r, i % 3 ? sizeof r : 0, MSG_NOSIGNAL);
            pollfd ready{link_socket, POLLIN, 0};
            read_answer answer;
            if (poll(&ready, 1, 5000) != 1)
                break;
            if (recv(link_socket, &answer, sizeof answer, 0) >= 4 && answer.kind == refusal_kind)
                refused++;
        }
        printf("flood: %d refused\n", refused);
        std::string log;
        while (minute && log.find("more records") == std::string::npos) {
            pollfd line{said[0], POLLIN, 0};
            char text[4096];
            ssize_t got;
            if (poll(&line, 1, 75000) != 1 || (got = read(said[0], text, sizeof text)) <= 0)
                break;
            log.append(text, got);
        }
        if (minute) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            size_t last = log.rfind('\n', log.size() > 1 ? log.size() - 2 : 0);
            std::string line = log.substr(last == std::string::npos ? 0 : last + 1);
            printf("its last line: %s", line.c_str());
            printf("a minute after the first refusal: %s\n",
                   now.tv_sec - start.tv_sec >= 60 ? "yes" : "no");
        }
        r = request(list_request, 1000, "");
        ask("list", &r, sizeof r);
        return wait_for(child);
    }
    if (filter) {
        r = request(list_request, 1, "");
        ask("list", &r, sizeof r);
        r = request(read_request, 2, "nvme0");
        ask("nvme0", &r, sizeof r);
        if (write(go[1], "x", 1) != 1)
            return 2;
        fputs(report_from_device_side().c_str(), stdout);
        r = request(read_request, 3, "nvme0");
        ask("nvme0 again", &r, sizeof r);
        int status = wait_for(child);
        check_files();
        return status;
    }
    r = request(read_request, 1, "nvme0");
    ask("nvme0 before a list", &r, sizeof r);
    r = request(list_request, 2, "");
    ask("list", &r, sizeof r);
    r = request(read_request, 3, "nvme0");
    ask("nvme0", &r, sizeof r);
    r = request(read_request, 4, "nvme1");
    ask("nvme1", &r, sizeof r);
    struct {
        const char* what;
        device_request record;
    } refused[] = {
        {"nvme9, not listed", request(read_request, 5, "nvme9")},
        {"namespace nvme0n1", request(read_request, 6, "nvme0n1")},
        {"path ../nvme0", request(read_request, 7, "../nvme0")},
        {"path /dev/nvme0", request(read_request, 8, "/dev/nvme0")},
        {"kind 0", request(0, 9, "nvme0")},
        {"kind 3", request(3, 10, "nvme0")},
    };
    for (const auto& row : refused)
        ask(row.what, &row.record, sizeof row.record);
    r = request(read_request, 11, "");
    memset(r.controller, '1', sizeof r.controller);
    memcpy(r.controller, "nvme", 4);
    ask("a name without its end", &r, sizeof r);
    char longer[sizeof r + 1] = {};
    r = request(list_request, 12, "");
    memcpy(longer, &r, sizeof r);
    ask("a list request one byte long", longer, sizeof longer);
    ask("a list request one byte short", &r, sizeof r - 1);
    ask("an empty record", &r, 0);
    ask("list after it", &r, sizeof r);

    // Closing the link ends it.
    return wait_for(child);
}
