// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/device_link.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "exporter/device_side.h"
#include "exporter/log.h"
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
    device_side = fork();
    if (device_side < 0) {
        log_message("cannot start the device side: %s", strerror(errno));
        return false;
    }
    if (device_side == 0) {
        close(pair[0]);
        // A stop request is for the metrics side, which then closes the link.
        ignore_stop_signals();
        run_device_side(pair[1], threads);
    }
    close(pair[1]);
    link_socket = pair[0];
    return true;
}

[[noreturn]] static void link_lost()
{
    log_message("the device side ended");
    _exit(1);
}

void send_device_request(const device_request& request)
{
    while (send(link_socket, &request, sizeof request, MSG_NOSIGNAL) < 0)
        if (errno != EINTR)
            link_lost();
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
