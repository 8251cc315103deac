// SPDX-License-Identifier: BSD-2-Clause
// Mode "top": every EBS volume of the machine, or the devices named, sampled
// at every interval until -n reports, q or Ctrl+C.
#pragma once

[[noreturn]] void run_top();
