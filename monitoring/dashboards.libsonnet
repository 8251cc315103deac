// SPDX-License-Identifier: BSD-2-Clause
// One dashboard: a row per question (throttled? busy? slow? queued? collected?).
// Panels read the recording rules, so it stays cheap across a fleet; the
// heatmaps read the buckets themselves.
{
  local config = self._config,
  local window = config.rateWindow,
  local datasource = { type: 'prometheus', uid: '${datasource}' },
  local machine = 'job=~"$job", instance=~"$instance"',
  local volumes = machine + ', volume_id=~"$volume"',

  local target(expr, legend, ref) = {
    datasource: datasource,
    expr: expr,
    legendFormat: legend,
    refId: ref,
  },
  local refs = ['A', 'B', 'C', 'D', 'E', 'F'],
  local targets(list) = [target(list[i][0], list[i][1], refs[i]) for i in std.range(0, std.length(list) - 1)],

  local row(title) = { type: 'row', title: title, collapsed: false, panels: [] },

  local timeseries(title, description, unit, list, max=null) = {
    type: 'timeseries',
    title: title,
    description: description,
    datasource: datasource,
    targets: targets(list),
    fieldConfig: {
      defaults: { unit: unit, min: 0 } + (if max == null then {} else { max: max }),
      overrides: [],
    },
    options: {
      legend: { displayMode: 'table', placement: 'bottom', calcs: ['mean', 'max'] },
      tooltip: { mode: 'multi', sort: 'desc' },
    },
  },

  local heatmap(title, description, metric) = {
    type: 'heatmap',
    title: title,
    description: description,
    datasource: datasource,
    targets: [target(
      'sum by (le) (rate(%s_bucket{%s}[$__rate_interval]))' % [metric, volumes], '{{le}}', 'A'
    ) + { format: 'heatmap' }],
    // Cells count operations a second; the y axis is the bins' upper bounds.
    fieldConfig: { defaults: { unit: 'ops' }, overrides: [] },
    options: {
      calculate: false,
      yAxis: { unit: 's' },
      cellValues: { unit: 'ops' },
      color: { mode: 'scheme', scheme: 'Oranges', steps: 64 },
      tooltip: { show: true, yHistogram: true },
    },
  },

  // Lays out rows of panels top to bottom: each row header one unit high,
  // then its panels left to right, wrapping at 24 columns.
  local layout(sections) =
    local place(state, section) =
      local header = section[0] { id: state.id, gridPos: { x: 0, y: state.y, w: 24, h: 1 } };
      local panels = std.foldl(
        function(acc, panel)
          local x = if acc.x + panel.w > 24 then 0 else acc.x;
          local y = if acc.x + panel.w > 24 then acc.y + acc.h else acc.y;
          acc {
            x: x + panel.w,
            y: y,
            h: panel.h,
            id: acc.id + 1,
            out: acc.out + [panel.panel { id: acc.id, gridPos: { x: x, y: y, w: panel.w, h: panel.h } }],
          },
        section[1],
        { x: 0, y: state.y + 1, h: 0, id: state.id + 1, out: [] }
      );
      { y: panels.y + panels.h, id: panels.id, out: state.out + [header] + panels.out };
    std.foldl(place, sections, { y: 0, id: 1, out: [] }).out,

  local sized(panel, w, h=8) = { panel: panel, w: w, h: h },

  // The claims: a volume no claim owns has none of these labels, so
  // "All" must match the empty value as well.
  local claimed = 'namespace=~"$namespace", persistentvolumeclaim=~"$claim"',
  local info = 'volume_id:ebs_volume_claim:info',
  // A per-volume series named by its claim, and only if a claim owns it.
  local byClaim(expr) =
    '%s * on (volume_id) group_left (namespace, persistentvolumeclaim, pod) %s{%s, persistentvolumeclaim!=""}'
    % [expr, info, claimed],
  local claimLegend = '{{namespace}}/{{persistentvolumeclaim}}',

  // Of a scope's two limits, the share of the one that held the volume back
  // longer. The limit label keeps the two apart: "or" ignores the names.
  local longer(scope, selector) =
    'max without (limit) (%s)' % std.join(' or ', [
      'label_replace(volume_id:ebs_%s_performance_exceeded_%s_seconds:rate%s{%s}, "limit", "%s", "", "")'
      % [scope, limit, window, selector, limit]
      for limit in ['iops', 'throughput']
    ]),

  local variable(name, label, query) = {
    name: name,
    label: label,
    type: 'query',
    datasource: datasource,
    query: { query: query, refId: name },
    definition: query,
    refresh: 2,
    includeAll: true,
    multi: true,
    sort: 1,
    current: { selected: true, text: ['All'], value: ['$__all'] },
  },

  local table(title, description, expr) = {
    type: 'table',
    title: title,
    description: description,
    datasource: datasource,
    targets: [target(expr, '', 'A') + { format: 'table', instant: true }],
    fieldConfig: { defaults: { unit: 'none' }, overrides: [] },
    // One row a volume: its labels, without the time and the value (1).
    transformations: [{
      id: 'organize',
      options: {
        excludeByName: { Time: true, Value: true },
        indexByName: { namespace: 0, persistentvolumeclaim: 1, pod: 2, volume_id: 3, persistentvolume: 4 },
        renameByName: { persistentvolumeclaim: 'claim', persistentvolume: 'persistent volume', volume_id: 'volume' },
      },
    }],
    options: { showHeader: true, sortBy: [{ displayName: 'namespace', desc: false }] },
  },

  local throttled(scope, limit, what) = timeseries(
    '%s %s limit' % [scope, what],
    'Share of the time the %s %s limit held the volume back: the counter of microseconds it was exceeded, as a rate over %s.'
    % [std.asciiLower(scope), what, window],
    'percentunit',
    [[
      'volume_id:ebs_%s_performance_exceeded_%s_seconds:rate%s{%s}'
      % [std.asciiLower(scope), limit, window, volumes],
      '{{instance}} {{volume_id}}',
    ]],
  ),

  local quantiles(direction) = timeseries(
    '%s latency' % direction,
    'p50, p90 and p99 from the volume\'s histogram (interpolated inside a bin; a quantile beyond the last bin shows as its upper bound), and the exact mean.',
    's',
    [
      [
        'volume_id_quantile:ebs_%s_latency_seconds:histogram_quantile_rate%s{%s}'
        % [std.asciiLower(direction), window, volumes],
        '{{volume_id}} p{{quantile}}',
      ],
      [
        'volume_id:ebs_%s_latency_seconds:mean%s{%s}' % [std.asciiLower(direction), window, volumes],
        '{{volume_id}} mean',
      ],
    ],
  ),

  grafanaDashboards+:: {
    'volscan-ebs.json': {
      title: config.dashboardTitle,
      uid: config.dashboardUID,
      tags: config.dashboardTags,
      schemaVersion: 38,
      editable: true,
      graphTooltip: 1,
      refresh: config.dashboardRefresh,
      timezone: config.dashboardTimezone,
      time: { from: 'now-6h', to: 'now' },
      annotations: { list: [] },
      links: [],
      templating: {
        list: [
          {
            name: 'datasource',
            label: 'Data source',
            type: 'datasource',
            query: 'prometheus',
            current: {},
            hide: 0,
            refresh: 1,
          },
          variable('job', 'Job', 'label_values(ebs_volume_info{%s}, job)' % config.volscanSelector),
          variable('instance', 'Instance', 'label_values(ebs_volume_info{job=~"$job"}, instance)'),
          variable('volume', 'Volume', 'label_values(ebs_volume_info{%s}, volume_id)' % machine),
          variable('namespace', 'Namespace', 'label_values(%s, namespace)' % info) + { allValue: '.*' },
          variable('claim', 'Claim', 'label_values(%s{namespace=~"$namespace"}, persistentvolumeclaim)' % info)
          + { allValue: '.*' },
        ],
      },
      panels: layout([
        [row('Is it throttled? Share of the time each limit held the volume back'), [
          sized(throttled('Volume', 'iops', 'IOPS'), 6),
          sized(throttled('Volume', 'throughput', 'throughput'), 6),
          sized(throttled('Instance', 'iops', 'IOPS'), 6),
          sized(throttled('Instance', 'throughput', 'throughput'), 6),
        ]],
        [row('How busy? Operations and bytes a second'), [
          sized(timeseries('IOPS', 'Read and write operations a second, as the volume counts them.', 'iops', [
            ['volume_id:ebs_read_ops:rate%s{%s}' % [window, volumes], '{{volume_id}} read'],
            ['volume_id:ebs_write_ops:rate%s{%s}' % [window, volumes], '{{volume_id}} write'],
          ]), 12),
          sized(timeseries('Throughput', 'Bytes read and written a second.', 'Bps', [
            ['volume_id:ebs_read_bytes:rate%s{%s}' % [window, volumes], '{{volume_id}} read'],
            ['volume_id:ebs_write_bytes:rate%s{%s}' % [window, volumes], '{{volume_id}} write'],
          ]), 12),
          // What the instance's EBS limits apply to: all its volumes together.
          sized(timeseries('IOPS per instance', 'Reads and writes a second of all the instance\'s volumes together, to compare with its instance type\'s EBS IOPS.', 'iops', [
            ['sum by (job, instance) (volume_id:ebs_read_ops:rate%s{%s} + volume_id:ebs_write_ops:rate%s{%s})' % [window, machine, window, machine], '{{instance}}'],
          ]), 12),
          sized(timeseries('Throughput per instance', 'Bytes read and written a second by all the instance\'s volumes together, to compare with its instance type\'s EBS bandwidth.', 'Bps', [
            ['sum by (job, instance) (volume_id:ebs_read_bytes:rate%s{%s} + volume_id:ebs_write_bytes:rate%s{%s})' % [window, machine, window, machine], '{{instance}}'],
          ]), 12),
        ]],
        [row('How slow? Latency of reads and writes'), [
          sized(quantiles('Read'), 12),
          sized(quantiles('Write'), 12),
          sized(heatmap('Read latency distribution', 'Reads a second in each bin of the volumes\' histograms, by the bin\'s upper bound.', 'ebs_read_latency_seconds'), 12),
          sized(heatmap('Write latency distribution', 'Writes a second in each bin of the volumes\' histograms, by the bin\'s upper bound.', 'ebs_write_latency_seconds'), 12),
        ]],
        [row('How deep is the queue?'), [
          sized(timeseries('Queue length', 'Operations in the volume\'s queue, as sampled at each scrape, and its mean over %s.' % window, 'short', [
            ['ebs_volume_queue_length{%s}' % volumes, '{{volume_id}}'],
            ['avg_over_time(ebs_volume_queue_length{%s}[%s])' % [volumes, window], '{{volume_id}} mean'],
          ]), 24),
        ]],
        [row('Whose volume? Each claim\'s volume, on Kubernetes'), [
          sized(table(
            'Volumes and their claims',
            'Every volume the exporters serve, with the namespace, claim and running pod that use it, from kube-state-metrics; a volume no claim owns (a machine\'s root and data volumes) has none.',
            '%s{%s}' % [info, claimed],
          ), 24, 6),
          sized(timeseries('IOPS per claim', 'Read and write operations a second of each claim\'s volume.', 'iops', [
            [byClaim('volume_id:ebs_read_ops:rate%s{%s}' % [window, machine]), claimLegend + ' read'],
            [byClaim('volume_id:ebs_write_ops:rate%s{%s}' % [window, machine]), claimLegend + ' write'],
          ]), 8),
          sized(timeseries('Throughput per claim', 'Bytes read and written a second by each claim\'s volume.', 'Bps', [
            [byClaim('volume_id:ebs_read_bytes:rate%s{%s}' % [window, machine]), claimLegend + ' read'],
            [byClaim('volume_id:ebs_write_bytes:rate%s{%s}' % [window, machine]), claimLegend + ' write'],
          ]), 8),
          sized(timeseries('Mean latency per claim', 'Mean time of a read and of a write on each claim\'s volume, from the volume\'s totals.', 's', [
            [byClaim('volume_id:ebs_read_latency_seconds:mean%s{%s}' % [window, machine]), claimLegend + ' read'],
            [byClaim('volume_id:ebs_write_latency_seconds:mean%s{%s}' % [window, machine]), claimLegend + ' write'],
          ]), 8),
          sized(timeseries('Throttled per claim', 'Share of the time the volume\'s own limits, and the instance\'s, held each claim\'s volume back: of IOPS and throughput, the one that held it back longer.', 'percentunit', [
            [byClaim(longer('volume', machine)), claimLegend + ' volume limit'],
            [byClaim(longer('instance', machine)), claimLegend + ' instance limit'],
          ]), 12),
          sized(timeseries('Queue length per claim', 'Operations in each claim\'s volume\'s queue, mean over %s.' % window, 'short', [
            [byClaim('avg_over_time(ebs_volume_queue_length{%s}[%s])' % [machine, window]), claimLegend],
          ]), 12),
        ]],
        [row('Is collection healthy?'), [
          sized(timeseries('Exporter up', 'Whether Prometheus could scrape volscan-exporter.', 'bool_yes_no', [
            ['up{%s}' % machine, '{{instance}}'],
          ], 1), 8),
          sized(timeseries('Device read', 'Whether the scrape read each device\'s identity and, for an EBS volume, its statistics.', 'bool_yes_no', [
            ['ebs_scrape_success{%s}' % machine, '{{instance}} {{device}} {{volume_id}}'],
          ], 1), 8),
          sized(timeseries('Scrape time per device', 'Time each scrape spent on the device\'s requests.', 's', [
            ['ebs_scrape_duration_seconds{%s}' % machine, '{{instance}} {{device}}'],
          ]), 8),
        ]],
      ]),
    },
  },
}
