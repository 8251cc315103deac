// SPDX-License-Identifier: BSD-2-Clause
// What a user of the mixin may change: override with
//   (import 'mixin.libsonnet') + { _config+:: { volscanSelector: 'job="ebs-prod"' } }
{
  _config+:: {
    // The series volscan-exporter serves, as Prometheus labels them.
    volscanSelector: 'job="ebs"',

    // kube-state-metrics' series, which name the claim and the pod of each
    // volume on Kubernetes. Its object labels (namespace, pod) must be
    // scraped as it serves them (honor_labels), as the Prometheus Operator's
    // usual configuration does. Without Kubernetes nothing matches, and every
    // volume stays unowned.
    kubeStateMetricsSelector: 'job="kube-state-metrics"',

    // The label that tells clusters apart where one Prometheus (a Thanos
    // ruler, a managed Prometheus fed by remote write) evaluates the rules
    // of several: every aggregation and join keeps it. Series without it
    // are one cluster.
    clusterLabel: 'cluster',

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

    // Share of a cluster's exporters down at once (on nodes that are
    // Ready) that raises one alert for the cluster.
    exportersDownShare: 0.10,

    // An exporter that is up and finds no EBS volume for this long.
    noVolumesFor: '15m',

    // The evaluation interval of the rates', the claims' and the alerts'
    // groups. Every rate spans rateWindow and the alerts wait minutes, so a
    // point a minute is all they need, and each evaluation costs the whole
    // fleet's series once: at 15 s a 500-node fleet keeps two cores busy.
    ruleInterval: '1m',

    // The latency histograms' rules: the quantiles, evaluated at this
    // interval (the latency alerts wait latencyFor, many times this), in
    // latencyShards groups for each direction (1, 2, 4, 8 or 16), each for
    // a share of the volumes. More shards make each group shorter; they cost
    // no more in all.
    latencyInterval: '2m',
    latencyShards: 16,

    // With a base URL, such as where monitoring/README.md is published,
    // every alert carries runbook_url: the base, '#' and the alert's name in
    // lower case, the anchor of its section. runbookURLPattern overrides the
    // layout: pattern % lower-case alert name.
    runbookURLBase: '',
    runbookURLPattern: if self.runbookURLBase == '' then '' else self.runbookURLBase + '#%s',

    dashboardTitle: 'EBS volumes (volscan-exporter)',
    dashboardUID: 'volscan-ebs',
    dashboardTags: ['volscan', 'ebs'],
    dashboardRefresh: '1m',
    dashboardTimezone: 'utc',
  },
}
