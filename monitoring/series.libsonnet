// SPDX-License-Identifier: BSD-2-Clause
// The exporter's series as belonging to a node and a volume, whatever
// scraped them. A scrape adds the labels of its target: the PodMonitor the
// project ships gives job, node and instance (the node's name), but other
// stacks add the exporter pod's own pod, container, endpoint, namespace or
// its IP in instance, which change at every rollout. Every rule therefore
// aggregates by the cluster, the node and the volume's own labels alone:
// while an old pod's series and its successor's are both inside a window,
// their rates add up to the volume's (each covers its part of the window),
// and a gauge's two series are one.
function(config) {
  local cluster = config.clusterLabel,

  // A list of labels for by or on, the cluster first.
  on(labels):: std.join(', ', [cluster] + labels),

  // agg by (cluster, node, labels) of inner(selector), where node is the
  // node label the scrape gave or, where it gave none (a plain scrape of
  // an EC2 machine), the instance. Only the series that match a branch's
  // selector pass through it, so each series is read once.
  perNode(agg, labels, inner)::
    local by = self.on(['node'] + labels);
    '%s by (%s) (%s) or %s by (%s) (label_replace(%s, "node", "$1", "instance", "(.*)"))'
    % [agg, by, inner(config.volscanSelector + ', node!=""'),
       agg, by, inner(config.volscanSelector + ', node=""')],

  // instance set to the node, as the shipped scrape configuration sets it.
  withInstance(expr):: 'label_replace(%s, "instance", "$1", "node", "(.*)")' % expr,

  // Both: one series per node (and labels), with instance the node.
  byNode(agg, labels, inner):: self.withInstance(self.perNode(agg, labels, inner)),
}
