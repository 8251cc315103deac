// SPDX-License-Identifier: BSD-2-Clause
// Alerts. Each names its runbook section in monitoring/README.md.
{
  local config = self._config,
  local window = config.rateWindow,

  local alert(name, expr, duration, summary, description) = {
    alert: name,
    expr: expr,
    'for': duration,
    labels: { severity: 'warning' },
    annotations: {
      summary: summary,
      description: description + ' Runbook: monitoring/README.md, section ' + name + '.',
    } + (if config.runbookURLPattern == '' then {}
         else { runbook_url: config.runbookURLPattern % std.asciiLower(name) }),
  },

  local series = (import 'series.libsonnet')(config),
  local on = series.on,
  local ksm = config.kubeStateMetricsSelector,

  // A volume's alert carries the claim's namespace, persistentvolumeclaim
  // and pod where a claim owns the volume, and none of the three where none
  // does (a machine's root and data volumes). A volume the naming rule has
  // not seen (its group failing, or the volume just attached) still raises
  // its alert, unnamed, once. Its other labels are the recorded series':
  // the cluster, the node, instance (the node) and the volume's.
  local named(expr) =
    '(%s) * on (%s) group_left (namespace, persistentvolumeclaim, pod) volume_id:ebs_volume_claim:info or on (%s) (%s)'
    % [expr, on(['volume_id']), on(['volume_id']), expr],

  local where = 'on {{ $labels.node }}{{ with $labels.%s }} in cluster {{ . }}{{ end }}' % config.clusterLabel,
  local volume = '{{ $labels.volume_id }} ({{ $labels.device }}'
                 + '{{ with $labels.persistentvolumeclaim }}, claim {{ $labels.namespace }}/{{ . }}{{ end }}'
                 + '{{ with $labels.pod }}, pod {{ . }}{{ end }}) ' + where,

  // Each exporter once, by its node, whatever the scrape's target labels.
  local up = series.byNode('max', [], function(selector) 'up{%s}' % selector),

  // An exporter that cannot be scraped, unless kube-state-metrics reports
  // its node NotReady, or reports the cluster's nodes and not this one (it
  // is gone): the node's own alert says that once. Without kube-state-
  // metrics' nodes, or for a machine that is no Kubernetes node (no node
  // label from the scrape), every exporter down counts.
  local down =
    '(%s == 0)' % up
    + ' unless on (%s) (kube_node_status_condition{%s, condition="Ready", status="true"} == 0)'
      % [on(['node']), ksm]
    + ' unless on (%s) (max by (%s) (up{%s, node!=""}) unless on (%s) kube_node_info{%s} and on (%s) count by (%s) (kube_node_info{%s}))'
      % [on(['node']), on(['node']), config.volscanSelector, on(['node']), ksm, on([]), on([]), ksm],

  local volumeLimit(name, limit, what) = alert(
    name,
    named('volume_id:ebs_volume_performance_exceeded_%s_seconds:rate%s > %g'
          % [limit, window, config.volumeThrottledShare]),
    config.throttledFor,
    'EBS volume held back by its provisioned %s.' % what,
    '%s asked for more %s than the volume is provisioned for during {{ $value | humanizePercentage }} of the last %s.'
    % [volume, what, window],
  ),

  local instanceLimit(name, limit, what) = alert(
    name,
    'instance:ebs_instance_performance_exceeded_%s_seconds:max_rate%s > %g'
    % [limit, window, config.instanceThrottledShare],
    config.throttledFor,
    'Instance held back by its EBS %s limit.' % what,
    'The instance %s asked its EBS volumes for more %s than the instance type allows during {{ $value | humanizePercentage }} of the last %s.'
    % [where, what, window],
  ),

  local latency(name, direction, threshold) = alert(
    name,
    named('volume_id_quantile:ebs_%s_latency_seconds:histogram_quantile_rate%s{quantile="0.99"} > %g'
          % [direction, window, threshold]),
    config.latencyFor,
    'EBS volume p99 %s latency high.' % direction,
    '%s: 99 %% of %ss over the last %s took up to {{ $value | humanizeDuration }} (threshold %gs).'
    % [volume, direction, window, threshold],
  ),

  prometheusAlerts+:: {
    groups+: [
      {
        name: 'volscan-ebs.alerts',
        interval: config.ruleInterval,
        rules: [
          volumeLimit('EBSVolumeIOPSLimitExceeded', 'iops', 'IOPS'),
          volumeLimit('EBSVolumeThroughputLimitExceeded', 'throughput', 'throughput'),
          instanceLimit('EBSInstanceIOPSLimitExceeded', 'iops', 'IOPS'),
          instanceLimit('EBSInstanceThroughputLimitExceeded', 'throughput', 'throughput'),
          latency('EBSVolumeReadLatencyHigh', 'read', config.readLatencyP99Seconds),
          latency('EBSVolumeWriteLatencyHigh', 'write', config.writeLatencyP99Seconds),
          alert(
            'EBSVolumeQueueLengthHigh',
            named('volume_id:ebs_volume_queue_length:avg_over_time%s > %g' % [window, config.queueLength]),
            config.queueLengthFor,
            'EBS volume queue deep.',
            '%s held {{ $value | printf "%%.1f" }} operations in its queue on average over the last %s.'
            % [volume, window],
          ),
          alert(
            'EBSVolumeStatisticsFailing',
            named('%s == 0' % series.byNode('max', ['volume_id', 'device'], function(selector)
              'ebs_scrape_success{%s}' % selector)),
            config.statisticsFailingFor,
            'volscan-exporter cannot read a device.',
            'volscan-exporter %s fails to read the identity or statistics of {{ $labels.device }}{{ with $labels.volume_id }} {{ . }}{{ end }}' % where
            + '{{ with $labels.persistentvolumeclaim }} (claim {{ $labels.namespace }}/{{ . }}{{ with $labels.pod }}, pod {{ . }}{{ end }}){{ end }}.',
          ),
          alert(
            'VolscanExporterDown',
            down,
            config.exporterDownFor,
            'volscan-exporter down.',
            'Prometheus cannot scrape volscan-exporter %s: no EBS statistics from that node, and none of its volumes\' alerts can fire.' % where,
          ),
          alert(
            'VolscanManyExportersDown',
            // One exporter down has its own alert, however small the cluster.
            '(count by (%s) (%s) / count by (%s) (%s) > %g) and on (%s) (count by (%s) (%s) > 1)'
            % [on([]), down, on([]), up, config.exportersDownShare, on([]), on([]), down],
            config.exporterDownFor,
            'Many volscan-exporters down.',
            'Prometheus cannot scrape {{ $value | humanizePercentage }} of the volscan-exporters'
            + '{{ with $labels.%s }} in cluster {{ . }}{{ end }}, on nodes that are Ready: ' % config.clusterLabel
            + 'no EBS statistics from them. A fault common to them all (the image, its configuration, the network policy) is likelier than as many node faults.',
          ),
          alert(
            'VolscanExporterNoVolumes',
            '%s == 0 and on (%s) (%s == 1)'
            % [series.byNode('max', [], function(selector) 'ebs_volumes{%s}' % selector),
               on(['node']), up],
            config.noVolumesFor,
            'volscan-exporter finds no EBS volume.',
            'volscan-exporter %s answers, but has found no EBS volume for %s: ' % [where, config.noVolumesFor]
            + 'the host\'s /dev not mounted into its pod, an instance that is not Nitro-based, or no permission to query the devices.',
          ),
          alert(
            'VolscanExporterAbsent',
            'absent(up{%s})' % config.volscanSelector,
            config.exporterAbsentFor,
            'volscan-exporter absent from Prometheus.',
            'Prometheus has no target for volscan-exporter (%s): no EBS statistics at all, and no other EBS alert can fire.'
            % config.volscanSelector,
          ),
        ],
      },
    ],
  },
}
