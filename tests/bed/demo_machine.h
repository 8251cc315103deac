// SPDX-License-Identifier: BSD-2-Clause
// The demo machine: a small database server's NVMe devices, for make demo and
// for trying the exporter without EBS volumes.
//
//   nvme0  vol-049df61146c4d7901  xvda  the root volume, nearly idle
//   nvme1  vol-0b8e3a2f7c6d51402  sdf   the database: 40 % of the time over
//                                       its provisioned IOPS, and slow for it
//   nvme2  vol-07c2d9e4f1a3b8603  sdg   the database's log: steady writes
//   nvme3  an instance-storage disk (no statistics)
//   nvme4  vol-0e5b7a9c3d1f26404  sdh   a backup volume, idle
//
// Each volume's counters grow at fixed rates from three days' worth. One
// second is one sample when by_sample is set (a program on the bed's clock,
// which reads each volume once an interval, sees exact figures), otherwise
// one second of the wall clock.
#pragma once

#include <vector>

#include "fleet.h"

std::vector<fleet_controller> demo_machine(bool by_sample);
