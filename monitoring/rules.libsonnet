// SPDX-License-Identifier: BSD-2-Clause
// Recording rules: per volume, what the alerts and the dashboard read. A
// rate keeps every label of its series, so target labels a user adds (env,
// cluster, ...) reach the alerts too.
{
  local config = self._config,
  local window = config.rateWindow,
  local rate(metric) = 'rate(%s{%s}[%s])' % [metric, config.volscanSelector, window],

  prometheusRules+:: {
    groups+: [
      {
        name: 'volscan-ebs.rules',
        rules:
          [
            {
              record: 'volume_id:ebs_%s_%s:rate%s' % [direction, what, window],
              expr: rate('ebs_%s_%s_total' % [direction, what]),
            }
            for what in ['ops', 'bytes']
            for direction in ['read', 'write']
          ] + [
            {
              // The volume's own totals: exact even where the histogram's
              // bins do not hold every operation.
              record: 'volume_id:ebs_%s_latency_seconds:mean%s' % [direction, window],
              expr: '%s / %s' % [rate('ebs_%s_seconds_total' % direction),
                                  rate('ebs_%s_ops_total' % direction)],
            }
            for direction in ['read', 'write']
          ] + [
            {
              record: 'volume_id_quantile:ebs_%s_latency_seconds:histogram_quantile_rate%s'
                      % [direction, window],
              expr: 'histogram_quantile(%s, %s)'
                    % [quantile, rate('ebs_%s_latency_seconds_bucket' % direction)],
              labels: { quantile: quantile },
            }
            for direction in ['read', 'write']
            for quantile in ['0.5', '0.9', '0.99']
          ] + [
            // Seconds held back per second: the share of time the limit was hit.
            {
              record: 'volume_id:ebs_%s_performance_exceeded_%s_seconds:rate%s'
                      % [scope, limit, window],
              expr: rate('ebs_%s_performance_exceeded_%s_seconds_total' % [scope, limit]),
            }
            for scope in ['volume', 'instance']
            for limit in ['iops', 'throughput']
          ] + [
            // Every volume of a machine reports the machine's limit; the one
            // held back longest tells how far the machine is over it.
            {
              record: 'instance:ebs_instance_performance_exceeded_%s_seconds:max_rate%s'
                      % [limit, window],
              expr: 'max without (volume_id, device) (volume_id:ebs_instance_performance_exceeded_%s_seconds:rate%s)'
                    % [limit, window],
            }
            for limit in ['iops', 'throughput']
          ],
      },
      {
        // Who uses each volume on Kubernetes, from kube-state-metrics: the
        // persistent volume whose EBS volume it is, the claim bound to that,
        // and the pod running with the claim. Each step keeps only the labels
        // it names, since a Prometheus Operator scrape gives the exporter's
        // series its own pod's namespace and pod, and kube-state-metrics'
        // series of cluster-wide objects its own: neither must pass for the
        // claim's. The last rule has one series for every volume the
        // exporter serves, its claim labels empty when no claim owns it.
        name: 'volscan-ebs-claims.rules',
        rules: [
          {
            // The CSI driver's handle is the volume ID; the in-tree plugin's
            // ID is aws://ZONE/vol-..., or the bare ID in older objects.
            record: 'volume_id:kube_persistentvolume_info:ebs',
            expr: 'max by (volume_id, persistentvolume) ('
                  + 'label_replace(kube_persistentvolume_info{%s, csi_volume_handle=~"vol-[0-9a-f]+"}, "volume_id", "$1", "csi_volume_handle", "(.+)")'
                    % config.kubeStateMetricsSelector
                  + ' or '
                  + 'label_replace(kube_persistentvolume_info{%s, ebs_volume_id=~"(aws://[^/]*/)?vol-[0-9a-f]+"}, "volume_id", "$2", "ebs_volume_id", "(aws://[^/]*/)?(vol-[0-9a-f]+)")'
                    % config.kubeStateMetricsSelector
                  + ')',
          },
          {
            record: 'persistentvolume:kube_persistentvolume_claim_ref:claim',
            expr: 'max by (persistentvolume, namespace, persistentvolumeclaim) ('
                  + 'label_replace(label_replace(kube_persistentvolume_claim_ref{%s, claim_namespace!="", name!=""}, "namespace", "$1", "claim_namespace", "(.+)"), "persistentvolumeclaim", "$1", "name", "(.+)")'
                    % config.kubeStateMetricsSelector
                  + ')',
          },
          {
            // A finished pod still names its claims; only a running one
            // has the volume mounted.
            record: 'namespace_persistentvolumeclaim_pod:kube_pod_spec_volumes_persistentvolumeclaims_info:running',
            expr: 'max by (namespace, persistentvolumeclaim, pod) (kube_pod_spec_volumes_persistentvolumeclaims_info{%s} and on (namespace, pod) (kube_pod_status_phase{%s, phase="Running"} == 1))'
                  % [config.kubeStateMetricsSelector, config.kubeStateMetricsSelector],
          },
          {
            // A pod is named where exactly one runs with the claim; an
            // unbound persistent volume keeps its name alone.
            local bound = '(volume_id:kube_persistentvolume_info:ebs * on (persistentvolume) group_left (namespace, persistentvolumeclaim) persistentvolume:kube_persistentvolume_claim_ref:claim)',
            local running = 'namespace_persistentvolumeclaim_pod:kube_pod_spec_volumes_persistentvolumeclaims_info:running',
            record: 'volume_id:kube_persistentvolume_claim:info',
            expr: '%s * on (namespace, persistentvolumeclaim) group_left (pod) (%s and on (namespace, persistentvolumeclaim) (count by (namespace, persistentvolumeclaim) (%s) == 1))'
                  % [bound, running, running]
                  + ' or on (volume_id) %s or on (volume_id) volume_id:kube_persistentvolume_info:ebs' % bound,
          },
          {
            // Every volume the exporter serves, wherever it is attached, and
            // only while it is: one series each, which the alerts join. A
            // volume that two persistent volumes name stays unowned rather
            // than break that join.
            local every = 'max by (volume_id) (ebs_volume_info{%s})' % config.volscanSelector,
            local claims = 'volume_id:kube_persistentvolume_claim:info',
            record: 'volume_id:ebs_volume_claim:info',
            expr: '%s * on (volume_id) group_left (persistentvolume, namespace, persistentvolumeclaim, pod) (%s and on (volume_id) (count by (volume_id) (%s) == 1)) or on (volume_id) %s'
                  % [every, claims, claims, every],
          },
        ],
      },
    ],
  },
}
