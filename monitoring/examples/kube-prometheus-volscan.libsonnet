// SPDX-License-Identifier: BSD-2-Clause
// volscan-exporter's mixin for kube-prometheus: merge it into
// kube-prometheus's main.libsonnet, as its own addons are:
//
//   local kp = (import 'kube-prometheus/main.libsonnet')
//              + (import 'volscan-mixin/examples/kube-prometheus-volscan.libsonnet')
//              + { values+:: { common+: { namespace: 'monitoring' } } };
//
// and add kp.volscan's objects to the manifests (kube-prometheus.jsonnet
// beside this file is a whole main file). It gives kube-prometheus:
//   - the dashboards, to its Grafana beside its own (values.grafana.dashboards);
//   - a Role and RoleBinding for its Prometheus in the exporter's namespace,
//     the ones it makes for each of values.prometheus.namespaces: without
//     them its Prometheus finds no target of the PodMonitor there;
//   - the rules and alerts, as a PrometheusRule in kube-prometheus's
//     namespace (kp.volscan.prometheusRule), labelled as its own.
// The exporter itself and its PodMonitor come from deploy/kubernetes.
// Settings: values.volscan.namespace (the exporter's, volscan) and
// values.volscan.config (the mixin's _config, such as volscanSelector).
{
  values+:: {
    volscan+: {
      namespace: 'volscan',
      config: {},
    },
    prometheus+: {
      namespaces+: [$.values.volscan.namespace],
    },
    grafana+: {
      dashboards+: $.volscan.mixin.grafanaDashboards,
    },
  },

  volscan+: {
    mixin:: (import '../mixin.libsonnet') + { _config+:: $.values.volscan.config },
    prometheusRule: {
      apiVersion: 'monitoring.coreos.com/v1',
      kind: 'PrometheusRule',
      metadata: {
        name: 'volscan-exporter-rules',
        namespace: $.values.common.namespace,
        labels: {
          'app.kubernetes.io/name': 'volscan-exporter',
          'app.kubernetes.io/part-of': 'kube-prometheus',
          // What the Prometheus of older kube-prometheus releases selects.
          prometheus: 'k8s',
          role: 'alert-rules',
        },
      },
      spec: { groups: $.volscan.mixin.prometheusRules.groups + $.volscan.mixin.prometheusAlerts.groups },
    },
  },
}
