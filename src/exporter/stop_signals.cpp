// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/stop_signals.h"

#include <csignal>
#include <ctime>
#include <pthread.h>

static sigset_t stop_set()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    return stop;
}

void hold_stop_signals()
{
    sigset_t stop = stop_set();
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

bool stop_signal_within(uint64_t nanoseconds)
{
    sigset_t stop = stop_set();
    timespec wait{static_cast<time_t>(nanoseconds / 1000000000u),
                  static_cast<long>(nanoseconds % 1000000000u)};
    int received = sigtimedwait(&stop, nullptr, &wait);
    return received == SIGTERM || received == SIGINT;
}

void ignore_stop_signals()
{
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
}
