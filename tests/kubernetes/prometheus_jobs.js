// SPDX-License-Identifier: BSD-2-Clause
// The target labels that the shipped scrape configurations give, as a real
// Prometheus computes them. No cluster here: a static target carries the
// labels that Kubernetes discovery would give an exporter pod, and each
// PodMonitor becomes the job the Prometheus Operator writes for it: its
// relabelings after the Operator's own (the port kept; namespace,
// container, pod, job and endpoint set).
//
//   node prometheus_jobs.js config RENDERED SCRAPE_CONFIG  > prometheus.yml
//       SCRAPE_CONFIG: the plain job, with static_configs in place of
//       kubernetes_sd_configs; its targets' labels stand for discovery's
//       in the PodMonitors' jobs too. Each PodMonitor gives
//       its job, and a job "without labeldrop": the same less its labeldrop
//       relabelings, to show what they take away.
//   node prometheus_jobs.js targets < /api/v1/targets   the labels, a line a target
"use strict";
const fs = require("fs");
const YAML = require("yaml");

const [mode, rendered, scrapeConfig] = process.argv.slice(2);

function relabeling(r) {
    const keys = { sourceLabels: "source_labels", targetLabel: "target_label", separator: "separator",
        regex: "regex", modulus: "modulus", replacement: "replacement", action: "action" };
    const out = {};
    for (const [key, value] of Object.entries(r)) {
        if (!keys[key]) throw new Error(`a relabeling with ${key}`);
        out[keys[key]] = key === "action" ? value.toLowerCase() : value;
    }
    return out;
}

if (mode === "config") {
    const config = YAML.parse(fs.readFileSync(scrapeConfig, "utf8"));
    const discovered = config.scrape_configs[0].static_configs;
    for (const doc of YAML.parseAllDocuments(fs.readFileSync(rendered, "utf8")).map((d) => d.toJS())) {
        if (!doc || doc.kind !== "PodMonitor") continue;
        const { namespace, name } = doc.metadata;
        doc.spec.podMetricsEndpoints.forEach((endpoint, n) => {
            const operator = [
                { source_labels: ["__meta_kubernetes_pod_container_port_name"], regex: endpoint.port, action: "keep" },
                { source_labels: ["__meta_kubernetes_namespace"], target_label: "namespace" },
                { source_labels: ["__meta_kubernetes_pod_container_name"], target_label: "container" },
                { source_labels: ["__meta_kubernetes_pod_name"], target_label: "pod" },
                { target_label: "job", replacement: `${namespace}/${name}` },
                { target_label: "endpoint", replacement: endpoint.port },
            ];
            const own = (endpoint.relabelings || []).map(relabeling);
            const job = {
                job_name: `podMonitor/${namespace}/${name}/${n}`,
                metrics_path: endpoint.path,
                scrape_interval: endpoint.interval,
                scrape_timeout: endpoint.scrapeTimeout,
                static_configs: discovered,
                relabel_configs: [...operator, ...own],
            };
            config.scrape_configs.push(job);
            config.scrape_configs.push({
                ...job,
                job_name: `${job.job_name} without labeldrop`,
                relabel_configs: [...operator, ...own.filter((r) => r.action !== "labeldrop")],
            });
        });
    }
    process.stdout.write(YAML.stringify(config));
} else if (mode === "targets") {
    const answer = JSON.parse(fs.readFileSync(0, "utf8"));
    const lines = answer.data.activeTargets.map((t) => {
        const labels = Object.keys(t.labels).sort().map((k) => `${k}="${t.labels[k]}"`);
        return `${t.scrapePool}: ${labels.join(",")}`;
    });
    for (const line of lines.sort()) console.log(line);
    console.log(`dropped: ${answer.data.droppedTargets.length}`);
} else {
    throw new Error(`no mode ${mode}`);
}
