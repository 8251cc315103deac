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

  // A volume's alert carries the claim's namespace, persistentvolumeclaim
  // and pod where a claim owns the volume, and none of the three where none
  // does (a machine's root and data volumes): never the exporter's own pod
  // and namespace, which a Prometheus Operator scrape adds. A volume the
  // naming rule has not seen (its group failing, or the volume just
  // attached) still raises its alert, unnamed, once.
  local named(expr) =
    '(%s) * on (volume_id) group_left (namespace, persistentvolumeclaim, pod) volume_id:ebs_volume_claim:info or on (volume_id) max without (namespace, pod) (%s)'
    % [expr, expr],

  local volume = '{{ $labels.volume_id }} ({{ $labels.device }}'
                 + '{{ with $labels.persistentvolumeclaim }}, claim {{ $labels.namespace }}/{{ . }}{{ end }}'
                 + '{{ with $labels.pod }}, pod {{ . }}{{ end }}) on {{ $labels.instance }}',

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
    '{{ $labels.instance }} asked its EBS volumes for more %s than the instance type allows during {{ $value | humanizePercentage }} of the last %s.'
    % [what, window],
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
        rules: [
          volumeLimit('EBSVolumeIOPSLimitExceeded', 'iops', 'IOPS'),
          volumeLimit('EBSVolumeThroughputLimitExceeded', 'throughput', 'throughput'),
          instanceLimit('EBSInstanceIOPSLimitExceeded', 'iops', 'IOPS'),
          instanceLimit('EBSInstanceThroughputLimitExceeded', 'throughput', 'throughput'),
          latency('EBSVolumeReadLatencyHigh', 'read', config.readLatencyP99Seconds),
          latency('EBSVolumeWriteLatencyHigh', 'write', config.writeLatencyP99Seconds),
          alert(
            'EBSVolumeQueueLengthHigh',
            // The gauge is what the volume held at the scrape's instant: its mean is steadier.
            named('avg_over_time(ebs_volume_queue_length{%s}[%s]) > %g'
                  % [config.volscanSelector, window, config.queueLength]),
            config.queueLengthFor,
            'EBS volume queue deep.',
            '%s held {{ $value | printf "%%.1f" }} operations in its queue on average over the last %s.'
            % [volume, window],
          ),
          alert(
            'EBSVolumeStatisticsFailing',
            named('ebs_scrape_success{%s} == 0' % config.volscanSelector),
            config.statisticsFailingFor,
            'volscan-exporter cannot read a device.',
            'volscan-exporter on {{ $labels.instance }} fails to read the identity or statistics of {{ $labels.device }}{{ with $labels.volume_id }} {{ . }}{{ end }}'
            + '{{ with $labels.persistentvolumeclaim }} (claim {{ $labels.namespace }}/{{ . }}{{ with $labels.pod }}, pod {{ . }}{{ end }}){{ end }}.',
          ),
          alert(
            'VolscanExporterDown',
            'up{%s} == 0' % config.volscanSelector,
            config.exporterDownFor,
            'volscan-exporter down.',
            'Prometheus cannot scrape volscan-exporter at {{ $labels.instance }}: no EBS statistics from that machine.',
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
