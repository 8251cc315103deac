// SPDX-License-Identifier: BSD-2-Clause
// What a user of the mixin may change: override with
//   (import 'mixin.libsonnet') + { _config+:: { volscanSelector: 'job="ebs-prod"' } }
{
  _config+:: {
    // The series volscan-exporter serves, as Prometheus labels them.
    volscanSelector: 'job="ebs"',

    // Window of every rate; recording rules carry it in their names.
    rateWindow: '5m',

    // A limit counts as hit when the share of time it held the volume back,
    // over rateWindow, stays above this for the alert's duration.
    volumeThrottledShare: 0.10,
    instanceThrottledShare: 0.10,
    throttledFor: '15m',

    // p99 latency, in seconds. Above any SSD volume's ordinary latency;
    // raise it for throughput-optimised and cold HDD volumes.
    readLatencyP99Seconds: 0.05,
    writeLatencyP99Seconds: 0.05,
    latencyFor: '15m',

    // Mean queue length over rateWindow.
    queueLength: 32,
    queueLengthFor: '15m',

    statisticsFailingFor: '5m',
    exporterDownFor: '5m',
    exporterAbsentFor: '15m',

    // With a URL pattern, alerts carry runbook_url: pattern % lower-case alert name.
    runbookURLPattern: '',

    dashboardTitle: 'EBS volumes (volscan-exporter)',
    dashboardUID: 'volscan-ebs',
    dashboardTags: ['volscan', 'ebs'],
    dashboardRefresh: '1m',
    dashboardTimezone: 'utc',
  },
}
