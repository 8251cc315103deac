// SPDX-License-Identifier: BSD-2-Clause
// The most NVMe controllers a front end lists and keeps at once. A machine of
// the platform attaches at most 28 EBS volumes and a few instance-storage
// disks; the rest is room to spare.
#pragma once

constexpr int max_controllers = 64;
