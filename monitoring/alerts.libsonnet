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

  local volume = '{{ $labels.volume_id }} ({{ $labels.device }}) on {{ $labels.instance }}',

  local volumeLimit(name, limit, what) = alert(
    name,
    'volume_id:ebs_volume_performance_exceeded_%s_seconds:rate%s > %g'
    % [limit, window, config.volumeThrottledShare],
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
    'volume_id_quantile:ebs_%s_latency_seconds:histogram_quantile_rate%s{quantile="0.99"} > %g'
    % [direction, window, threshold],
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
            'avg_over_time(ebs_volume_queue_length{%s}[%s]) > %g'
            % [config.volscanSelector, window, config.queueLength],
            config.queueLengthFor,
            'EBS volume queue deep.',
            '%s held {{ $value | printf "%%.1f" }} operations in its queue on average over the last %s.'
            % [volume, window],
          ),
          alert(
            'EBSVolumeStatisticsFailing',
            'ebs_scrape_success{%s} == 0' % config.volscanSelector,
            config.statisticsFailingFor,
            'volscan-exporter cannot read a device.',
            'volscan-exporter on {{ $labels.instance }} fails to read the identity or statistics of {{ $labels.device }} {{ $labels.volume_id }}.',
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
