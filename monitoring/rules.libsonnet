// SPDX-License-Identifier: BSD-2-Clause
// Recording rules: per volume, what the alerts and the dashboard read. Each
// keeps the cluster, the node (and instance, set to the node) and the
// volume's labels, and nothing of the target that scraped the volume, so
// that a rollout of the exporter changes no recorded series.
{
  local config = self._config,
  local window = config.rateWindow,
  local series = (import 'series.libsonnet')(config),
  local on = series.on,
  local rate(metric) = function(selector) 'rate(%s{%s}[%s])' % [metric, selector, window],
  local perVolume = ['volume_id', 'device'],
  local ksm = config.kubeStateMetricsSelector,

  // Shard k of the volumes: those whose ID ends in the k-th sixteenth of
  // the hexadecimal digits; the last shard takes every ID the others do
  // not, so that no volume is left out.
  local shards = config.latencyShards,
  local digits = '0123456789abcdef',
  local width = std.floor(16 / shards),
  local inShard(k) =
    if shards == 1 then ''
    else if k < shards - 1 && width == 1 then ', volume_id=~".*%s"' % digits[k]
    else if k < shards - 1 then ', volume_id=~".*[%s]"' % std.substr(digits, k * width, width)
    else ', volume_id!~".*[%s]"' % std.substr(digits, 0, k * width),
  assert std.member([1, 2, 4, 8, 16], shards) : 'latencyShards must be 1, 2, 4, 8 or 16',

  prometheusRules+:: {
    groups+: [
      {
        name: 'volscan-ebs.rules',
        interval: config.ruleInterval,
        rules:
          [
            {
              record: 'volume_id:ebs_%s_%s:rate%s' % [direction, what, window],
              expr: series.byNode('sum', perVolume, rate('ebs_%s_%s_total' % [direction, what])),
            }
            for what in ['ops', 'bytes']
            for direction in ['read', 'write']
          ] + [
            {
              // The volume's own totals: exact even where the histogram's
              // bins do not hold every operation.
              record: 'volume_id:ebs_%s_latency_seconds:mean%s' % [direction, window],
              expr: '%s / volume_id:ebs_%s_ops:rate%s'
                    % [series.byNode('sum', perVolume, rate('ebs_%s_seconds_total' % direction)),
                       direction, window],
            }
            for direction in ['read', 'write']
          ] + [
            // Seconds held back per second: the share of time the limit was hit.
            {
              record: 'volume_id:ebs_%s_performance_exceeded_%s_seconds:rate%s'
                      % [scope, limit, window],
              expr: series.byNode('sum', perVolume,
                                  rate('ebs_%s_performance_exceeded_%s_seconds_total' % [scope, limit])),
            }
            for scope in ['volume', 'instance']
            for limit in ['iops', 'throughput']
          ] + [
            // Every volume of a machine reports the machine's limit; the one
            // held back longest tells how far the machine is over it.
            {
              record: 'instance:ebs_instance_performance_exceeded_%s_seconds:max_rate%s'
                      % [limit, window],
              expr: 'max by (%s) (volume_id:ebs_instance_performance_exceeded_%s_seconds:rate%s)'
                    % [on(['node', 'instance']), limit, window],
            }
            for limit in ['iops', 'throughput']
          ] + [
            {
              // The gauge is what the volume held at the scrape's instant:
              // its mean is steadier.
              record: 'volume_id:ebs_volume_queue_length:avg_over_time%s' % window,
              expr: series.byNode('avg', perVolume, function(selector)
                'avg_over_time(ebs_volume_queue_length{%s}[%s])' % [selector, window]),
            },
          ],
      },
    ] + [
      {
        // The latency histograms, the costliest part by far: a series for
        // each bin of each volume, and what a rule pays for each is mostly
        // finding it, whether it then takes a rate or reads a recorded
        // value. So each quantile is histogram_quantile of the buckets'
        // rates, taken from the scraped buckets themselves (recording the
        // rates first would read as many series again, and keep a series
        // for every bin of every volume), and the volumes are split by the
        // last digit of their ID into latencyShards groups for each
        // direction, evaluated beside each other and each a share of the
        // fleet, every latencyInterval.
        name: if shards == 1 then 'volscan-ebs-%s-latency.rules' % direction
              else 'volscan-ebs-%s-latency-%d.rules' % [direction, shard],
        interval: config.latencyInterval,
        rules: [
          {
            record: 'volume_id_quantile:ebs_%s_latency_seconds:histogram_quantile_rate%s'
                    % [direction, window],
            expr: series.withInstance('histogram_quantile(%s, %s)' % [
              quantile,
              series.perNode('sum', perVolume + ['le'], function(selector)
                rate('ebs_%s_latency_seconds_bucket' % direction)(selector + inShard(shard))),
            ]),
            // Each shard records the same names. An empty label, which
            // Prometheus leaves off the series, tells promtool's lint that
            // the shards' rules are not duplicates of each other.
            labels: { quantile: quantile }
                    + (if shards == 1 then {} else { ['latency_shard_%d' % shard]: '' }),
          }
          for quantile in ['0.5', '0.9', '0.99']
        ],
      }
      for direction in ['read', 'write']
      for shard in std.range(0, shards - 1)
    ] + [
      {
        // The fleet's figures, one series a cluster, for the fleet
        // dashboard's graphs: drawn from the volumes' series, a graph over
        // hours would read every volume's series at every step.
        local cluster = config.clusterLabel,
        local share = 'volume_id:ebs_volume_performance_exceeded_%s_seconds:rate' + window,
        local instanceShare = 'instance:ebs_instance_performance_exceeded_%s_seconds:max_rate' + window,
        local p99 = 'volume_id_quantile:ebs_%s_latency_seconds:histogram_quantile_rate%s{quantile="0.99"}',
        name: 'volscan-ebs-fleet.rules',
        interval: config.ruleInterval,
        rules: [
          {
            record: 'cluster:ebs_%s_%s:rate%s' % [direction, what, window],
            expr: 'sum by (%s) (volume_id:ebs_%s_%s:rate%s)' % [cluster, direction, what, window],
          }
          for what in ['ops', 'bytes']
          for direction in ['read', 'write']
        ] + [
          {
            record: 'cluster:ebs_volumes:count',
            expr: 'count by (%s) (volume_id:ebs_volume_claim:info)' % cluster,
          },
          {
            record: 'cluster:ebs_claimed_volumes:count',
            expr: 'count by (%s) (volume_id:ebs_volume_claim:info{persistentvolumeclaim!=""})' % cluster,
          },
        ] + [
          {
            // Volumes a limit of their own held back at least the alerts'
            // share of the time.
            record: 'cluster:ebs_volumes_held_back_%s:count' % limit,
            expr: 'count by (%s) (%s >= %g)' % [cluster, share % limit, config.volumeThrottledShare],
          }
          for limit in ['iops', 'throughput']
        ] + [
          {
            // By either limit, each volume counted once.
            record: 'cluster:ebs_volumes_held_back:count',
            expr: 'count by (%s) ((%s >= %s or %s) >= %g)'
                  % [cluster, share % 'iops', share % 'throughput', share % 'throughput', config.volumeThrottledShare],
          },
          {
            // Nodes whose instance's limit, either one, held a volume back.
            record: 'cluster:ebs_nodes_held_back:count',
            expr: 'count by (%s) (%s >= %g or %s >= %g)'
                  % [cluster, instanceShare % 'iops', config.instanceThrottledShare,
                     instanceShare % 'throughput', config.instanceThrottledShare],
          },
        ] + [
          {
            // Of every volume's p99, the highest and the median.
            record: 'cluster:ebs_%s_latency_seconds_p99:%s' % [direction, what],
            expr: if what == 'max' then 'max by (%s) (%s)' % [cluster, p99 % [direction, window]]
                  else 'quantile by (%s) (0.5, %s)' % [cluster, p99 % [direction, window]],
          }
          for direction in ['read', 'write']
          for what in ['max', 'median']
        ],
      },
    ] + [
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
        interval: config.ruleInterval,
        rules: [
          {
            // The CSI driver's handle is the volume ID; the in-tree plugin's
            // ID is aws://ZONE/vol-..., or the bare ID in older objects. Two
            // replicas of kube-state-metrics serve each object twice.
            record: 'volume_id:kube_persistentvolume_info:ebs',
            expr: 'max by (%s) (' % on(['volume_id', 'persistentvolume'])
                  + 'label_replace(kube_persistentvolume_info{%s, csi_volume_handle=~"vol-[0-9a-f]+"}, "volume_id", "$1", "csi_volume_handle", "(.+)")'
                    % ksm
                  + ' or '
                  + 'label_replace(kube_persistentvolume_info{%s, ebs_volume_id=~"(aws://[^/]*/)?vol-[0-9a-f]+"}, "volume_id", "$2", "ebs_volume_id", "(aws://[^/]*/)?(vol-[0-9a-f]+)")'
                    % ksm
                  + ')',
          },
          {
            record: 'persistentvolume:kube_persistentvolume_claim_ref:claim',
            expr: 'max by (%s) (' % on(['persistentvolume', 'namespace', 'persistentvolumeclaim'])
                  + 'label_replace(label_replace(kube_persistentvolume_claim_ref{%s, claim_namespace!="", name!=""}, "namespace", "$1", "claim_namespace", "(.+)"), "persistentvolumeclaim", "$1", "name", "(.+)")'
                    % ksm
                  + ')',
          },
          {
            // A finished pod still names its claims; only a running one
            // has the volume mounted.
            record: 'namespace_persistentvolumeclaim_pod:kube_pod_spec_volumes_persistentvolumeclaims_info:running',
            expr: 'max by (%s) (kube_pod_spec_volumes_persistentvolumeclaims_info{%s} and on (%s) (kube_pod_status_phase{%s, phase="Running"} == 1))'
                  % [on(['namespace', 'persistentvolumeclaim', 'pod']), ksm, on(['namespace', 'pod']), ksm],
          },
          {
            // Each join's one side holds only what is unique there: a
            // persistent volume with two claims (a rebinding, or two
            // replicas of kube-state-metrics that disagree for a while)
            // keeps its own name alone, a claim that several pods run with
            // names no pod, and every other volume is named as before.
            // Each persistent volume has its series, so that a volume two
            // of them name has two, which the next rule leaves unowned.
            local claimRef = 'persistentvolume:kube_persistentvolume_claim_ref:claim',
            local running = 'namespace_persistentvolumeclaim_pod:kube_pod_spec_volumes_persistentvolumeclaims_info:running',
            local unique(expr, labels) = '(%s and on (%s) (count by (%s) (%s) == 1))'
                                         % [expr, on(labels), on(labels), expr],
            local bound = '(volume_id:kube_persistentvolume_info:ebs * on (%s) group_left (namespace, persistentvolumeclaim) %s)'
                          % [on(['persistentvolume']), unique(claimRef, ['persistentvolume'])],
            record: 'volume_id:kube_persistentvolume_claim:info',
            expr: '%s * on (%s) group_left (pod) %s'
                  % [bound, on(['namespace', 'persistentvolumeclaim']),
                     unique(running, ['namespace', 'persistentvolumeclaim'])]
                  + ' or on (%s) %s or on (%s) volume_id:kube_persistentvolume_info:ebs'
                    % [on(['volume_id', 'persistentvolume']), bound, on(['volume_id', 'persistentvolume'])],
          },
          {
            // Every volume the exporter serves, wherever it is attached, and
            // only while it is: one series each, which the alerts join. A
            // volume that two persistent volumes name stays unowned rather
            // than break that join.
            local every = 'max by (%s) (ebs_volume_info{%s})' % [on(['volume_id']), config.volscanSelector],
            local claims = 'volume_id:kube_persistentvolume_claim:info',
            record: 'volume_id:ebs_volume_claim:info',
            expr: '%s * on (%s) group_left (persistentvolume, namespace, persistentvolumeclaim, pod) (%s and on (%s) (count by (%s) (%s) == 1)) or on (%s) %s'
                  % [every, on(['volume_id']), claims, on(['volume_id']), on(['volume_id']), claims,
                     on(['volume_id']), every],
          },
        ],
      },
    ],
  },
}
