// SPDX-License-Identifier: BSD-2-Clause
// Two dashboards. The fleet's: how many volumes and nodes, how many of them
// held back, and the ten most throttled, slowest and busiest volumes, each
// named by its node and claim. The volumes': the ones picked on one node,
// or by their claim, a row per question (throttled? busy? slow? queued?
// collected?).
//
// Both stay cheap on a fleet of hundreds of nodes: every panel reads the
// recording rules, and either sums them up or keeps the top ten of them
// (fleet), or selects the picked node's or volumes' series by their labels
// (volumes), whose index lookup costs the same at any size. No variable
// that picks nodes, volumes or claims starts at "All": its first value is
// the default. The only raw series read are a node's own (up, the scrape's
// health) and, per volume, its queue as sampled.
{
  _config+:: {
    fleetDashboardTitle: 'EBS fleet (volscan-exporter)',
    fleetDashboardUID: 'volscan-ebs-fleet',
    // How many volumes (and nodes) each of the fleet's lists keeps.
    fleetTopK: 10,
    // Show the cluster picker; series without the cluster label are one
    // cluster, and the hidden picker then matches them.
    showMultiCluster: false,
  },

  local config = self._config,
  local window = config.rateWindow,
  local topK = config.fleetTopK,
  local clusterLabel = if std.objectHasAll(config, 'clusterLabel') then config.clusterLabel else 'cluster',
  local datasource = { type: 'prometheus', uid: '${datasource}' },

  // Selectors: the picked cluster(s), node, volumes, and the volumes of the
  // picked claims.
  local inCluster = '%s=~"$cluster"' % clusterLabel,
  local atNode = inCluster + ', node="$node"',
  local picked = inCluster + ', volume_id=~"$volume"',
  local claimed = inCluster + ', volume_id=~"$pvc_volume"',
  local onVolume = 'on (%s, volume_id)' % clusterLabel,
  local info = 'volume_id:ebs_volume_claim:info',
  local share = 'volume_id:ebs_%s_performance_exceeded_%s_seconds:rate' + window,
  local p99 = 'volume_id_quantile:ebs_%s_latency_seconds:histogram_quantile_rate%s{%s, quantile="0.99"}',

  // A node's own raw series: the scrape labels it with node, or (a plain
  // job of EC2 machines) only with instance, which the rules take for node.
  local nodeSeries(metric) =
    '(%s{%s, %s, node="$node"} or label_replace(%s{%s, %s, node="", instance="$node"}, "node", "$1", "instance", "(.*)"))'
    % [metric, config.volscanSelector, inCluster, metric, config.volscanSelector, inCluster],

  local target(expr, legend, ref) = {
    datasource: datasource,
    expr: expr,
    legendFormat: legend,
    refId: ref,
  },
  local refs = ['A', 'B', 'C', 'D', 'E', 'F'],
  local targets(list) = [target(list[i][0], list[i][1], refs[i]) for i in std.range(0, std.length(list) - 1)],

  local row(title) = { type: 'row', title: title, collapsed: false, panels: [] },

  // From a volume's series to the volumes' dashboard, with it picked.
  local volumeLink(node, volume) = {
    title: 'This volume',
    url: '/d/%s/?${cluster:queryparam}&var-node=%s&var-volume=%s&${__url_time_range}' % [config.dashboardUID, node, volume],
  },

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
  // The fleet's graphs: a step of at least the rate window, whose rates
  // cover every moment once at that step; each step reads every volume.
  local fleet(panel) = panel { interval: window },
  local linked(panel) = panel {
    fieldConfig+: { defaults+: { links: [volumeLink('${__field.labels.node}', '${__field.labels.volume_id}')] } },
  },

  local stat(title, description, unit, expr) = {
    type: 'stat',
    title: title,
    description: description,
    datasource: datasource,
    targets: [target(expr, '', 'A') + { instant: true }],
    fieldConfig: { defaults: { unit: unit }, overrides: [] },
    options: { reduceOptions: { calcs: ['lastNotNull'], fields: '', values: false }, graphMode: 'none', colorMode: 'value' },
  },

  local heatmap(title, description, direction) = {
    type: 'heatmap',
    title: title,
    description: description,
    datasource: datasource,
    targets: [target(
      'sum by (le) (rate(ebs_%s_latency_seconds_bucket{%s, %s}[%s]))' % [direction, config.volscanSelector, picked, window], '{{le}}', 'A'
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

  // A per-volume series named by its claim, and only if a claim owns it.
  local byClaim(expr) =
    '%s * %s group_left (namespace, persistentvolumeclaim, pod) %s{%s, namespace="$namespace", persistentvolumeclaim=~"$claim"}'
    % [expr, onVolume, info, inCluster],
  local claimLegend = '{{namespace}}/{{persistentvolumeclaim}}',

  // Of a scope's two limits, the share of the one that held the volume back
  // longer. The limit label keeps the two apart: "or" ignores the names.
  local longer(scope, selector) =
    'max without (limit) (%s)' % std.join(' or ', [
      'label_replace(%s{%s}, "limit", "%s", "", "")' % [share % [scope, limit], selector, limit]
      for limit in ['iops', 'throughput']
    ]),
  // The same without a label to keep apart: the larger share of the two,
  // series by series (a label_replace of every volume costs more).
  local instanceShare(limit) = 'instance:ebs_instance_performance_exceeded_%s_seconds:max_rate%s{%s}' % [limit, window, inCluster],
  local larger(scope, selector) =
    local iops = '%s{%s}' % [share % [scope, 'iops'], selector];
    local throughput = '%s{%s}' % [share % [scope, 'throughput'], selector];
    '(%s >= %s or %s)' % [iops, throughput, throughput],
  // A volume's p99 of reads or of writes, the direction in a label; the
  // label added only to the top of each.
  local slower(selector, top=null) = std.join(' or ', [
    local series = p99 % [direction, window, selector];
    'label_replace(%s, "direction", "%s", "", "")' % [if top == null then series else top('%s >= 0' % series), direction]
    for direction in ['read', 'write']
  ]),
  local busier(what, selector) =
    'volume_id:ebs_read_%s:rate%s{%s} + volume_id:ebs_write_%s:rate%s{%s}'
    % [what, window, selector, what, window, selector],

  // The top volumes of the fleet now, with their claims (empty where no
  // claim owns the volume).
  local top(expr) = 'topk(%d, %s)' % [topK, expr],
  local named(expr) = '%s * %s group_left (namespace, persistentvolumeclaim, pod) %s{%s}'
                      % [expr, onVolume, info, inCluster],
  // The volumes at the top at the end of the time range, for the graphs to
  // select: a hidden variable of their IDs, since asking the top ten at
  // every step of a range reads every volume at every step.
  local topVariable(name, expr) = variable(name, name, 'query_result(%s)' % expr) + {
    regex: '/volume_id="([^"]+)"/',
    includeAll: true,
    multi: true,
    hide: 2,
    current: { selected: true, text: ['All'], value: ['$__all'] },
  },
  local topVolumes(name) = inCluster + ', volume_id=~"$%s"' % name,
  local topHeldBack = top(larger('volume', inCluster)),
  local topSlow = top(slower(inCluster, top)),
  local topOps = top(busier('ops', inCluster)),
  local topBytes = top(busier('bytes', inCluster)),

  local table(title, description, expr, unit, value, columns) = {
    type: 'table',
    title: title,
    description: description,
    datasource: datasource,
    targets: [target(expr, '', 'A') + { format: 'table', instant: true }],
    fieldConfig: {
      defaults: { unit: unit },
      overrides: [{
        matcher: { id: 'byName', options: 'volume' },
        properties: [{ id: 'links', value: [volumeLink('${__data.fields.node}', '${__value.raw}')] }],
      }],
    },
    // One row a volume: its labels and the value, without the time.
    transformations: [{
      id: 'organize',
      options: {
        excludeByName: { Time: true, instance: true, quantile: true, __name__: true },
        indexByName: { [columns[i]]: i for i in std.range(0, std.length(columns) - 1) } + { Value: std.length(columns) },
        renameByName: { persistentvolumeclaim: 'claim', persistentvolume: 'persistent volume', volume_id: 'volume', Value: value },
      },
    }],
    options: { showHeader: true, sortBy: [{ displayName: value, desc: true }] },
  },
  local volumeColumns = ['node', 'volume_id', 'device', 'namespace', 'persistentvolumeclaim', 'pod'],

  local throttled(scope, limit, what, selector, legend) = timeseries(
    '%s %s limit' % [scope, what],
    'Share of the time the %s %s limit held %s back: the counter of microseconds it was exceeded, as a rate over %s%s.'
    % [std.asciiLower(scope), what, if scope == 'Volume' then 'each volume' else 'the node\'s volumes', window,
       if scope == 'Volume' then '' else ', of the volume held back longest'],
    'percentunit',
    [[
      if scope == 'Volume' then '%s{%s}' % [share % ['volume', limit], selector]
      else 'instance:ebs_instance_performance_exceeded_%s_seconds:max_rate%s{%s}' % [limit, window, selector],
      legend,
    ]],
  ),

  local quantiles(direction) = timeseries(
    '%s latency' % direction,
    'p50, p90 and p99 from the volume\'s histogram (interpolated inside a bin; a quantile beyond the last bin shows as its upper bound), and the exact mean.',
    's',
    [
      [
        'volume_id_quantile:ebs_%s_latency_seconds:histogram_quantile_rate%s{%s}'
        % [std.asciiLower(direction), window, picked],
        '{{volume_id}} p{{quantile}}',
      ],
      [
        'volume_id:ebs_%s_latency_seconds:mean%s{%s}' % [std.asciiLower(direction), window, picked],
        '{{volume_id}} mean',
      ],
    ],
  ),

  local variable(name, label, query) = {
    name: name,
    label: label,
    type: 'query',
    datasource: datasource,
    query: { query: query, refId: name },
    definition: query,
    refresh: 2,
    includeAll: false,
    multi: false,
    sort: 1,
    hide: 0,
    current: {},
  },
  local variables = {
    datasource: {
      name: 'datasource',
      label: 'Data source',
      type: 'datasource',
      query: 'prometheus',
      current: {},
      hide: 0,
      refresh: 1,
    },
    // Without the cluster label "All" matches the series, which lack it.
    cluster: variable('cluster', 'Cluster', 'label_values(%s, %s)' % [info, clusterLabel]) + {
      includeAll: true,
      allValue: '.*',
      current: { selected: true, text: ['All'], value: ['$__all'] },
      hide: if config.showMultiCluster then 0 else 2,
    },
  },

  local dashboard(title, uid, list, panels, range='now-6h') = {
    title: title,
    uid: uid,
    tags: config.dashboardTags,
    schemaVersion: 38,
    editable: true,
    graphTooltip: 1,
    refresh: config.dashboardRefresh,
    timezone: config.dashboardTimezone,
    time: { from: range, to: 'now' },
    annotations: { list: [] },
    // The other dashboard, with the same tags.
    links: [{ type: 'dashboards', title: 'EBS', tags: config.dashboardTags, asDropdown: false, keepTime: true, includeVars: false }],
    templating: { list: list },
    panels: layout(panels),
  },

  grafanaDashboards+:: {
    'volscan-ebs-fleet.json': dashboard(config.fleetDashboardTitle, config.fleetDashboardUID, [
      variables.datasource,
      variables.cluster,
      topVariable('top_held_back', topHeldBack),
      topVariable('top_slow', topSlow),
      topVariable('top_ops', topOps),
      topVariable('top_bytes', topBytes),
    ], [
      [row('The fleet now'), [
        sized(stat('Exporters', 'volscan-exporters that Prometheus scrapes: one a node.', 'none',
                   'count(up{%s, %s})' % [config.volscanSelector, inCluster]), 4, 4),
        sized(stat('Exporters down', 'volscan-exporters that Prometheus could not scrape at its last try.', 'none',
                   'count(up{%s, %s} == 0) or vector(0)' % [config.volscanSelector, inCluster]), 4, 4),
        sized(stat('Volumes', 'EBS volumes the exporters serve.', 'none',
                   'sum(cluster:ebs_volumes:count{%s}) or vector(0)' % inCluster), 4, 4),
        sized(stat('Claimed volumes', 'Volumes a Kubernetes claim owns, as kube-state-metrics tells.', 'none',
                   'sum(cluster:ebs_claimed_volumes:count{%s}) or vector(0)' % inCluster), 4, 4),
        sized(stat('Volumes held back', 'Volumes whose own IOPS or throughput limit held them back at least %g%% of the last %s: the share of the volume alerts.' % [config.volumeThrottledShare * 100, window], 'none',
                   'sum(cluster:ebs_volumes_held_back:count{%s}) or vector(0)' % inCluster), 4, 4),
        sized(stat('Nodes held back', 'Nodes whose instance type\'s EBS limit (IOPS or throughput) held a volume back at least %g%% of the last %s.' % [config.instanceThrottledShare * 100, window], 'none',
                   'sum(cluster:ebs_nodes_held_back:count{%s}) or vector(0)' % inCluster), 4, 4),
      ]],
      [row('The fleet over time'), [
        sized(fleet(timeseries('IOPS', 'Read and write operations a second of all the volumes together.', 'iops', [
          ['sum(cluster:ebs_read_ops:rate%s{%s})' % [window, inCluster], 'read'],
          ['sum(cluster:ebs_write_ops:rate%s{%s})' % [window, inCluster], 'write'],
        ])), 6),
        sized(fleet(timeseries('Throughput', 'Bytes read and written a second by all the volumes together.', 'Bps', [
          ['sum(cluster:ebs_read_bytes:rate%s{%s})' % [window, inCluster], 'read'],
          ['sum(cluster:ebs_write_bytes:rate%s{%s})' % [window, inCluster], 'write'],
        ])), 6),
        sized(fleet(timeseries('Held back', 'Volumes that a limit of their own held back at least %g%% of the time, and nodes whose instance limit did, over %s.' % [config.volumeThrottledShare * 100, window], 'none', [
          ['sum(cluster:ebs_volumes_held_back_iops:count{%s}) or vector(0)' % inCluster, 'volumes at their IOPS limit'],
          ['sum(cluster:ebs_volumes_held_back_throughput:count{%s}) or vector(0)' % inCluster, 'volumes at their throughput limit'],
          ['sum(cluster:ebs_nodes_held_back:count{%s}) or vector(0)' % inCluster, 'nodes at their instance limit'],
        ])), 6),
        sized(fleet(timeseries('p99 latency across volumes', 'Of every volume\'s p99 latency, the highest and the median: how slow the slowest volume is, and a typical one.', 's', [
          ['max(cluster:ebs_read_latency_seconds_p99:max{%s})' % inCluster, 'read, slowest volume'],
          ['quantile(0.5, cluster:ebs_read_latency_seconds_p99:median{%s})' % inCluster, 'read, median volume'],
          ['max(cluster:ebs_write_latency_seconds_p99:max{%s})' % inCluster, 'write, slowest volume'],
          ['quantile(0.5, cluster:ebs_write_latency_seconds_p99:median{%s})' % inCluster, 'write, median volume'],
        ])), 6),
      ]],
      [row('The %d most throttled volumes' % topK), [
        sized(table(
          'Held back now',
          'The volumes their own limits held back longest over the last %s: of IOPS and throughput, the one that held each back longer. Select a volume to see it on the volumes\' dashboard.' % window,
          named(topHeldBack), 'percentunit', 'held back', volumeColumns,
        ), 12),
        sized(linked(fleet(timeseries(
          'Held back over time',
          'The same volumes, the %d held back longest at the end of the time range, over the whole range.' % topK,
          'percentunit',
          // One series a volume, whichever limit's share is the larger.
          [['max without () %s' % larger('volume', topVolumes('top_held_back')), '{{node}} {{volume_id}}']],
        ))), 12),
      ]],
      [row('The %d slowest volumes by p99 latency' % topK), [
        sized(table(
          'Slowest now',
          'The volumes whose reads or writes took longest at their 99th percentile over the last %s, from their histograms (a volume that did neither has none).' % window,
          named(topSlow), 's', 'p99', volumeColumns[0:3] + ['direction'] + volumeColumns[3:],
        ), 12),
        sized(linked(fleet(timeseries(
          'Slowest over time',
          'The same volumes, the %d slowest at the end of the time range, their reads\' and writes\' p99 over the whole range.' % topK,
          's',
          [[slower(topVolumes('top_slow')), '{{node}} {{volume_id}} {{direction}}']],
        ))), 12),
      ]],
      [row('The %d busiest volumes' % topK), [
        sized(table(
          'Most operations now',
          'The volumes with the most reads and writes a second over the last %s.' % window,
          named(topOps), 'iops', 'IOPS', volumeColumns,
        ), 12),
        sized(linked(fleet(timeseries(
          'Most operations over time',
          'The same volumes, the %d busiest at the end of the time range, over the whole range.' % topK,
          'iops',
          [[busier('ops', topVolumes('top_ops')), '{{node}} {{volume_id}}']],
        ))), 12),
        sized(table(
          'Most bytes now',
          'The volumes that read and wrote the most bytes a second over the last %s.' % window,
          named(topBytes), 'Bps', 'bytes a second', volumeColumns,
        ), 12),
        sized(linked(fleet(timeseries(
          'Most bytes over time',
          'The same volumes, the %d busiest at the end of the time range, over the whole range.' % topK,
          'Bps',
          [[busier('bytes', topVolumes('top_bytes')), '{{node}} {{volume_id}}']],
        ))), 12),
      ]],
      [row('The %d nodes most held back by their instance\'s limits' % topK), [
        sized(table(
          'Nodes held back now',
          'The nodes whose instance type\'s EBS limit held a volume back longest over the last %s: of IOPS and throughput, the one that held it back longer. What the instance\'s limits apply to is all its volumes together.' % window,
          // Of the two limits, the larger share: the series have the same
          // labels, so "or" alone would keep the IOPS one.
          top('(%s >= %s or %s)' % [instanceShare('iops'), instanceShare('throughput'), instanceShare('throughput')]),
          'percentunit', 'held back', [clusterLabel, 'node'],
        ), 24, 6),
      ]],
    // The fleet's graphs read a series a cluster, the top ten's ten a
    // graph: six hours, as the volumes' dashboard.
    ]),

    'volscan-ebs.json': dashboard(config.dashboardTitle, config.dashboardUID, [
      variables.datasource,
      variables.cluster,
      variable('node', 'Node', 'label_values(volume_id:ebs_read_ops:rate%s{%s}, node)' % [window, inCluster]),
      variable('volume', 'Volume', 'label_values(volume_id:ebs_read_ops:rate%s{%s}, volume_id)' % [window, atNode])
      + { multi: true },
      variable('namespace', 'Namespace', 'label_values(%s{%s, persistentvolumeclaim!=""}, namespace)' % [info, inCluster]),
      variable('claim', 'Claim', 'label_values(%s{%s, namespace="$namespace"}, persistentvolumeclaim)' % [info, inCluster])
      + { multi: true },
      // The picked claims' volumes, for the claims' panels to select by.
      variable('pvc_volume', 'Volumes of the claims', 'label_values(%s{%s, namespace="$namespace", persistentvolumeclaim=~"$claim"}, volume_id)' % [info, inCluster])
      + { includeAll: true, multi: true, hide: 2, current: { selected: true, text: ['All'], value: ['$__all'] } },
    ], [
      [row('Is it throttled? Share of the time each limit held the volume back'), [
        sized(throttled('Volume', 'iops', 'IOPS', picked, '{{volume_id}}'), 6),
        sized(throttled('Volume', 'throughput', 'throughput', picked, '{{volume_id}}'), 6),
        sized(throttled('Instance', 'iops', 'IOPS', atNode, '{{node}}'), 6),
        sized(throttled('Instance', 'throughput', 'throughput', atNode, '{{node}}'), 6),
      ]],
      [row('How busy? Operations and bytes a second'), [
        sized(timeseries('IOPS', 'Read and write operations a second, as the volume counts them.', 'iops', [
          ['volume_id:ebs_read_ops:rate%s{%s}' % [window, picked], '{{volume_id}} read'],
          ['volume_id:ebs_write_ops:rate%s{%s}' % [window, picked], '{{volume_id}} write'],
        ]), 12),
        sized(timeseries('Throughput', 'Bytes read and written a second.', 'Bps', [
          ['volume_id:ebs_read_bytes:rate%s{%s}' % [window, picked], '{{volume_id}} read'],
          ['volume_id:ebs_write_bytes:rate%s{%s}' % [window, picked], '{{volume_id}} write'],
        ]), 12),
        // What the instance's EBS limits apply to: all its volumes together.
        sized(timeseries('IOPS of the node', 'Reads and writes a second of all the node\'s volumes together, to compare with its instance type\'s EBS IOPS.', 'iops', [
          ['sum by (%s, node) (%s)' % [clusterLabel, busier('ops', atNode)], '{{node}}'],
        ]), 12),
        sized(timeseries('Throughput of the node', 'Bytes read and written a second by all the node\'s volumes together, to compare with its instance type\'s EBS bandwidth.', 'Bps', [
          ['sum by (%s, node) (%s)' % [clusterLabel, busier('bytes', atNode)], '{{node}}'],
        ]), 12),
      ]],
      [row('How slow? Latency of reads and writes'), [
        sized(quantiles('Read'), 12),
        sized(quantiles('Write'), 12),
        sized(heatmap('Read latency distribution', 'Reads a second in each bin of the volumes\' histograms, by the bin\'s upper bound.', 'read'), 12),
        sized(heatmap('Write latency distribution', 'Writes a second in each bin of the volumes\' histograms, by the bin\'s upper bound.', 'write'), 12),
      ]],
      [row('How deep is the queue?'), [
        sized(timeseries('Queue length', 'Operations in the volume\'s queue, as sampled at each scrape, and its mean over %s.' % window, 'short', [
          ['max by (%s, volume_id) (ebs_volume_queue_length{%s, %s})' % [clusterLabel, config.volscanSelector, picked], '{{volume_id}}'],
          ['volume_id:ebs_volume_queue_length:avg_over_time%s{%s}' % [window, picked], '{{volume_id}} mean'],
        ]), 24),
      ]],
      [row('Whose volume? The node\'s volumes, and the picked claims\', on Kubernetes'), [
        sized(table(
          'The node\'s volumes and their claims',
          'Every volume on the node, with the namespace, claim and running pod that use it, from kube-state-metrics; a volume no claim owns (a machine\'s root and data volumes) has none.',
          '%s{%s} * %s group_left (node, device) max by (%s, node, volume_id, device) (volume_id:ebs_read_ops:rate%s{%s})'
          % [info, inCluster, onVolume, clusterLabel, window, atNode],
          'none', 'value', ['node', 'volume_id', 'device', 'namespace', 'persistentvolumeclaim', 'pod', 'persistentvolume'],
        ) + { transformations: [super.transformations[0] { options+: { excludeByName+: { Value: true } } }] }, 24, 6),
        sized(timeseries('IOPS per claim', 'Read and write operations a second of each picked claim\'s volume.', 'iops', [
          [byClaim('volume_id:ebs_read_ops:rate%s{%s}' % [window, claimed]), claimLegend + ' read'],
          [byClaim('volume_id:ebs_write_ops:rate%s{%s}' % [window, claimed]), claimLegend + ' write'],
        ]), 8),
        sized(timeseries('Throughput per claim', 'Bytes read and written a second by each picked claim\'s volume.', 'Bps', [
          [byClaim('volume_id:ebs_read_bytes:rate%s{%s}' % [window, claimed]), claimLegend + ' read'],
          [byClaim('volume_id:ebs_write_bytes:rate%s{%s}' % [window, claimed]), claimLegend + ' write'],
        ]), 8),
        sized(timeseries('Mean latency per claim', 'Mean time of a read and of a write on each picked claim\'s volume, from the volume\'s totals.', 's', [
          [byClaim('volume_id:ebs_read_latency_seconds:mean%s{%s}' % [window, claimed]), claimLegend + ' read'],
          [byClaim('volume_id:ebs_write_latency_seconds:mean%s{%s}' % [window, claimed]), claimLegend + ' write'],
        ]), 8),
        sized(timeseries('Throttled per claim', 'Share of the time the volume\'s own limits, and the instance\'s, held each picked claim\'s volume back: of IOPS and throughput, the one that held it back longer.', 'percentunit', [
          [byClaim(longer('volume', claimed)), claimLegend + ' volume limit'],
          [byClaim(longer('instance', claimed)), claimLegend + ' instance limit'],
        ]), 12),
        sized(timeseries('Queue length per claim', 'Operations in each picked claim\'s volume\'s queue, mean over %s.' % window, 'short', [
          [byClaim('volume_id:ebs_volume_queue_length:avg_over_time%s{%s}' % [window, claimed]), claimLegend],
        ]), 12),
      ]],
      [row('Is collection healthy? The node\'s exporter'), [
        sized(timeseries('Exporter up', 'Whether Prometheus could scrape volscan-exporter on the node.', 'bool_yes_no', [
          [nodeSeries('up'), '{{node}}'],
        ], 1), 8),
        sized(timeseries('Device read', 'Whether the scrape read each device\'s identity and, for an EBS volume, its statistics.', 'bool_yes_no', [
          [nodeSeries('ebs_scrape_success'), '{{node}} {{device}} {{volume_id}}'],
        ], 1), 8),
        sized(timeseries('Scrape time per device', 'Time each scrape spent on the device\'s requests.', 's', [
          [nodeSeries('ebs_scrape_duration_seconds'), '{{node}} {{device}}'],
        ]), 8),
      ]],
    ]),
  },
}
