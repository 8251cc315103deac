// SPDX-License-Identifier: BSD-2-Clause
// What a fleet needs of the rendered manifests, beyond their validity:
//  - the DaemonSet's pods only on Linux nodes of the image's architectures,
//    never on Fargate or hybrid nodes (one required node selector term);
//  - priority class system-node-critical;
//  - a rolling update of a tenth of the nodes at a time, with no surge;
//  - every container's termination message outside /dev and outside every
//    folder of the host that the pod mounts;
//  - the app.kubernetes.io labels on every object of the exporter's kinds
//    and on its pods, the version being the project's (objects of other
//    kinds, such as a dashboard's ConfigMap, follow their readers' ways);
//  - only labels that never change in a selector (a DaemonSet's selector
//    cannot change, and one with the version would lose the pods of the
//    release before).
//
//   node settings.js FILE VERSION     exit status 0 all as wanted, 1 otherwise
// Prints "ok   OBJECT: what" or "FAIL OBJECT: what" for each check.
"use strict";
const fs = require("fs");
const YAML = require("yaml");

const [file, version] = process.argv.slice(2);
const documents = YAML.parseAllDocuments(fs.readFileSync(file, "utf8"))
    .map((d) => d.toJS())
    .filter((d) => d !== null);

const prefix = "app.kubernetes.io/";
const everyObject = ["name", "instance", "part-of", "managed-by"].map((k) => prefix + k);
const thePods = ["name", "instance", "version", "component", "part-of", "managed-by"].map((k) => prefix + k);
const ours = new Set(["Namespace", "ServiceAccount", "Service", "DaemonSet", "PodMonitor", "PrometheusRule",
    "Role", "RoleBinding", "NetworkPolicy"]);
const unchanging = new Set(["name", "instance", "part-of"].map((k) => prefix + k));

function describe(doc) {
    const meta = doc.metadata || {};
    return `${doc.kind} ${meta.namespace ? meta.namespace + "/" : ""}${meta.name}`;
}
function check(doc, what, problem) {
    if (problem) {
        console.log(`FAIL ${describe(doc)}: ${problem}`);
        process.exitCode = 1;
    } else {
        console.log(`ok   ${describe(doc)}: ${what}`);
    }
}
function missingLabels(labels, wanted) {
    const missing = wanted.filter((k) => !(labels || {})[k]);
    if (missing.length) return `no label ${missing.join(", ")}`;
    if ((labels || {})[prefix + "version"] !== undefined && labels[prefix + "version"] !== version)
        return `${prefix}version is ${labels[prefix + "version"]}, not ${version}`;
    return "";
}
// A selector: matchLabels of labels that never change, and nothing else.
function selectorProblem(selector, plain) {
    const labels = plain ? selector : selector && selector.matchLabels;
    if (!labels || Object.keys(labels).length === 0) return "no selector labels";
    if (!plain && selector.matchExpressions) return "the selector has matchExpressions";
    const changing = Object.keys(labels).filter((k) => !unchanging.has(k));
    if (changing.length) return `the selector has ${changing.join(", ")}, which may change`;
    return "";
}

const expressions = [
    "kubernetes.io/os In linux",
    "kubernetes.io/arch In amd64,arm64",
    "eks.amazonaws.com/compute-type NotIn fargate,hybrid",
];

let daemonSets = 0;
for (const doc of documents) {
    if (ours.has(doc.kind)) check(doc, "labels", missingLabels((doc.metadata || {}).labels, everyObject));
    if (doc.kind === "Service") check(doc, "selector", selectorProblem(doc.spec.selector, true));
    if (doc.kind === "PodMonitor") check(doc, "selector", selectorProblem(doc.spec.selector, false));
    if (doc.kind === "NetworkPolicy") check(doc, "selector", selectorProblem(doc.spec.podSelector, false));
    if (doc.kind !== "DaemonSet") continue;
    daemonSets++;
    const daemonSet = doc.spec;
    const pod = daemonSet.template.spec;

    check(doc, "selector", selectorProblem(daemonSet.selector, false));
    check(doc, "the pods' labels", missingLabels(daemonSet.template.metadata.labels, thePods));

    const terms = (((pod.affinity || {}).nodeAffinity || {}).requiredDuringSchedulingIgnoredDuringExecution || {})
        .nodeSelectorTerms || [];
    const got = terms.map((term) =>
        (term.matchExpressions || []).map((e) => `${e.key} ${e.operator} ${(e.values || []).join(",")}`).sort()
    );
    const want = [expressions.slice().sort()];
    check(doc, "node affinity", JSON.stringify(got) === JSON.stringify(want) ? ""
        : `node affinity is ${JSON.stringify(got)}, not ${JSON.stringify(want)}`);

    check(doc, "priority class", pod.priorityClassName === "system-node-critical" ? ""
        : `priorityClassName is ${pod.priorityClassName}, not system-node-critical`);

    const strategy = daemonSet.updateStrategy || {};
    const rolling = strategy.rollingUpdate || {};
    let problem = "";
    if (strategy.type !== "RollingUpdate") problem = `updateStrategy is ${strategy.type}, not RollingUpdate`;
    else if (rolling.maxUnavailable !== "10%") problem = `maxUnavailable is ${rolling.maxUnavailable}, not 10%`;
    else if (rolling.maxSurge !== undefined && rolling.maxSurge !== 0 && rolling.maxSurge !== "0%")
        problem = `maxSurge is ${rolling.maxSurge}: two exporters on one node`;
    check(doc, "update strategy", problem);

    // The folders of the host that the pod mounts, where a file the
    // kubelet makes for a container would land.
    const hostVolumes = new Set((pod.volumes || []).filter((v) => v.hostPath).map((v) => v.name));
    for (const container of [...(pod.initContainers || []), ...pod.containers]) {
        const where = container.terminationMessagePath || "/dev/termination-log";
        const under = (folder) => where === folder || where.startsWith(folder.replace(/\/$/, "") + "/");
        const mounts = (container.volumeMounts || []).filter((m) => hostVolumes.has(m.name)).map((m) => m.mountPath);
        problem = "";
        const goes = `container ${container.name}: the termination message goes to ${where}`;
        if (!where.startsWith("/")) problem = `container ${container.name}: ${where} is not absolute`;
        else if (under("/dev")) problem = `${goes}, in /dev`;
        else {
            const mount = mounts.find(under);
            if (mount) problem = `${goes}, in the host's ${mount}`;
        }
        check(doc, `container ${container.name}'s termination message`, problem);
    }
}
if (daemonSets !== 1) {
    console.log(`FAIL ${file}: ${daemonSets} DaemonSets, not 1`);
    process.exitCode = 1;
}
