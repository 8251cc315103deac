// SPDX-License-Identifier: BSD-2-Clause
// Runs the exporter's device side on the bed and sends it requests as a
// compromised network side might: each line of output is one request and
// what came back.
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "exporter/device_side.h"

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
    uint32_t tag;
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

int main()
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
        return 2;
    pid_t child = fork();
    if (child == 0) {
        close(pair[0]);
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

    device_request r = request(read_request, 1, "nvme0");
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

    // Closing the link ends it.
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
