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
    ],
  },
}
