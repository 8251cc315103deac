// SPDX-License-Identifier: BSD-2-Clause
// A kube-prometheus main file with volscan-exporter's mixin. In a folder
// whose jsonnetfile.json has kube-prometheus and the mixin (named
// volscan-mixin), after jb install:
//   jsonnet -J vendor -m manifests kube-prometheus.jsonnet | xargs -I{} sh -c 'cat {} | gojsontoyaml > {}.yaml' -- {}
// as kube-prometheus's own build does. Only the lines marked "volscan" are
// the mixin's; the rest is kube-prometheus's usual main file.
local kp =
  (import 'kube-prometheus/main.libsonnet') +
  (import 'volscan-mixin/examples/kube-prometheus-volscan.libsonnet') +  // volscan
  {
    values+:: {
      common+: {
        namespace: 'monitoring',
      },
      volscan+: {  // volscan
        namespace: 'volscan',  // volscan: where deploy/kubernetes put the exporter
        config+: {},  // volscan: the mixin's _config, such as { volscanSelector: 'job="ebs"' }
      },  // volscan
    },
  };

{ 'setup/0namespace-namespace': kp.kubePrometheus.namespace } +
{
  ['setup/prometheus-operator-' + name]: kp.prometheusOperator[name]
  for name in std.filter((function(name) name != 'serviceMonitor' && name != 'prometheusRule'), std.objectFields(kp.prometheusOperator))
} +
{ 'prometheus-operator-serviceMonitor': kp.prometheusOperator.serviceMonitor } +
{ 'prometheus-operator-prometheusRule': kp.prometheusOperator.prometheusRule } +
{ 'kube-prometheus-prometheusRule': kp.kubePrometheus.prometheusRule } +
{ ['alertmanager-' + name]: kp.alertmanager[name] for name in std.objectFields(kp.alertmanager) } +
{ ['grafana-' + name]: kp.grafana[name] for name in std.objectFields(kp.grafana) } +
{ ['kube-state-metrics-' + name]: kp.kubeStateMetrics[name] for name in std.objectFields(kp.kubeStateMetrics) } +
{ ['kubernetes-' + name]: kp.kubernetesControlPlane[name] for name in std.objectFields(kp.kubernetesControlPlane) } +
{ ['node-exporter-' + name]: kp.nodeExporter[name] for name in std.objectFields(kp.nodeExporter) } +
{ ['prometheus-' + name]: kp.prometheus[name] for name in std.objectFields(kp.prometheus) } +
{ ['prometheus-adapter-' + name]: kp.prometheusAdapter[name] for name in std.objectFields(kp.prometheusAdapter) } +
{ 'volscan-prometheusRule': kp.volscan.prometheusRule }  // volscan
