// SPDX-License-Identifier: BSD-2-Clause
// volscan-exporter's monitoring mixin: recording rules, alerts and a Grafana
// dashboard for EBS volumes, from one _config.
(import 'config.libsonnet') +
(import 'rules.libsonnet') +
(import 'alerts.libsonnet') +
(import 'dashboards.libsonnet')
