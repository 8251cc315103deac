// SPDX-License-Identifier: BSD-2-Clause
// jsonnet -S prometheusrule.jsonnet: the rules and alerts as the Prometheus
// Operator's PrometheusRule, for deploy/kubernetes. The monitor there gives
// the exporter's series the job that the mixin selects by default, ebs.
local mixin = import 'mixin.libsonnet';
(import 'manifest.libsonnet').yaml({
  apiVersion: 'monitoring.coreos.com/v1',
  kind: 'PrometheusRule',
  metadata: {
    name: 'volscan-exporter',
    labels: { 'app.kubernetes.io/name': 'volscan-exporter' },
  },
  spec: { groups: mixin.prometheusRules.groups + mixin.prometheusAlerts.groups },
})
