// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/device_link.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "exporter/device/device_side.h"
#include "exporter/log.h"
#include "exporter/sandbox.h"
#include "exporter/stop_signals.h"

static int link_socket = -1;
static pid_t device_side = -1;
static std::atomic<bool> stopping;

bool start_device_side(unsigned threads)
{
    int pair[2];
    // Records keep their bounds, so a short or long one is seen as such.
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        log_message("cannot make the device side's socket pair: %s", strerror(errno));
        return false;
    }
    pid_t parent = getpid();
    device_side = fork();
    if (device_side < 0) {
        log_message("cannot start the device side: %s", strerror(errno));
        return false;
    }
    if (device_side == 0) {
        close(pair[0]);
        if (!end_with_parent(parent))
            _exit(1);
        // A stop request is for the metrics side, which then closes the link.
        ignore_stop_signals();
        run_device_side(pair[1], threads);
    }
    close(pair[1]);
    link_socket = pair[0];
    // It says why when it cannot get ready; it takes a few milliseconds.
    uint32_t ready = 0;
    pollfd answer{link_socket, POLLIN, 0};
    int polled;
    while ((polled = poll(&answer, 1, 10000)) < 0 && errno == EINTR) {
    }
    if (polled == 1 && recv(link_socket, &ready, sizeof ready, 0) == sizeof ready
        && ready == ready_kind)
        return true;
    if (polled == 0)
        log_message("the device side did not start within 10 s");
    close(link_socket);
    link_socket = -1;
    waitpid(device_side, nullptr, polled == 0 ? WNOHANG : 0);
    return false;
}

[[noreturn]] static void link_lost()
{
    log_message("the device side ended");
    _exit(1);
}

bool send_device_request(const device_request& request, const timespec& deadline)
{
    for (;;) {
        if (send(link_socket, &request, sizeof request, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0)
            return true;
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            link_lost();
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left_ms = (deadline.tv_sec - now.tv_sec) * 1000LL
            + (deadline.tv_nsec - now.tv_nsec) / 1000000;
        if (left_ms <= 0)
            return false;
        pollfd room{link_socket, POLLOUT, 0};
        poll(&room, 1, static_cast<int>(left_ms < 1000 ? left_ms + 1 : 1000));
    }
}

size_t receive_device_answer(void* buffer, size_t size)
{
    for (;;) {
        ssize_t received = recv(link_socket, buffer, size, 0);
        if (received > 0)
            return static_cast<size_t>(received);
        if (stopping)
            return 0;
        if (received < 0 && errno == EINTR)
            continue;
        link_lost();
    }
}

void stop_device_side()
{
    stopping = true;
    shutdown(link_socket, SHUT_RDWR);
    // A device side whose thread waits in a hung admin command ends when the
    // command does; the service manager's stop does not wait for it.
    for (int tries = 0; tries < 20; tries++) {
        if (waitpid(device_side, nullptr, WNOHANG) != 0)
            return;
        timespec pause{0, 50 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}
