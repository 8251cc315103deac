// SPDX-License-Identifier: BSD-2-Clause
// Validates Kubernetes manifests (multi-document YAML, as kubectl kustomize
// prints them) against the API's schemas, each document twice:
//  - the models' own validation (required fields, types, formats, enums)
//    against the OpenAPI schemas of Kubernetes 1.31 and 1.33, which bracket
//    1.32 (the models have no release of 1.32's), and the Prometheus
//    Operator's CRD schemas;
//  - the models' TypeScript types, compiled with excess property checks:
//    the schemas allow unknown fields, which the API server drops (or,
//    validating strictly, refuses), so a misspelt field would pass them.
// A kind it has no schema for is an error: nothing goes unchecked.
//
//   node validate.js FILE...        exit status 0 all valid, 1 otherwise
// With more than one file, each file's lines follow a line "# FILE"; the
// files are checked in one compilation, which costs the most.
"use strict";
const fs = require("fs");
const path = require("path");
const YAML = require("yaml");
const ts = require("typescript");

const coreSets = [
    ["Kubernetes 1.31", "kubernetes-models-1.31"],
    ["Kubernetes 1.33", "kubernetes-models"],
];
const operatorSet = [["Prometheus Operator", "@kubernetes-models/prometheus-operator"]];
// apiVersion/kind: the module under each set, and the sets.
const kinds = {
    "v1/Namespace": ["v1/Namespace", coreSets],
    "v1/ServiceAccount": ["v1/ServiceAccount", coreSets],
    "v1/Service": ["v1/Service", coreSets],
    "v1/ConfigMap": ["v1/ConfigMap", coreSets],
    "v1/Secret": ["v1/Secret", coreSets],
    "apps/v1/DaemonSet": ["apps/v1/DaemonSet", coreSets],
    "rbac.authorization.k8s.io/v1/Role": ["rbac.authorization.k8s.io/v1/Role", coreSets],
    "rbac.authorization.k8s.io/v1/RoleBinding": ["rbac.authorization.k8s.io/v1/RoleBinding", coreSets],
    "networking.k8s.io/v1/NetworkPolicy": ["networking.k8s.io/v1/NetworkPolicy", coreSets],
    "monitoring.coreos.com/v1/PodMonitor": ["monitoring.coreos.com/v1/PodMonitor", operatorSet],
    "monitoring.coreos.com/v1/ServiceMonitor": ["monitoring.coreos.com/v1/ServiceMonitor", operatorSet],
    "monitoring.coreos.com/v1/PrometheusRule": ["monitoring.coreos.com/v1/PrometheusRule", operatorSet],
};

function describe(doc) {
    const meta = (doc && doc.metadata) || {};
    return `${doc && doc.kind} ${meta.namespace ? meta.namespace + "/" : ""}${meta.name}`;
}

const documents = [];
const documentFile = [];
const files = process.argv.slice(2);
for (const file of files) {
    for (const parsed of YAML.parseAllDocuments(fs.readFileSync(file, "utf8"))) {
        if (parsed.errors.length) {
            console.log(`FAIL ${file}: ${parsed.errors[0].message}`);
            process.exit(1);
        }
        const doc = parsed.toJS();
        if (doc !== null) {
            documents.push(doc);
            documentFile.push(file);
        }
    }
}
for (const file of files) {
    if (!documentFile.includes(file)) {
        console.log(`FAIL ${file}: no document to validate`);
        process.exit(1);
    }
}

const failures = documents.map(() => []);
const checks = []; // [document index, set name, module]
documents.forEach((doc, index) => {
    const entry = kinds[`${doc.apiVersion}/${doc.kind}`];
    if (!entry) {
        failures[index].push(`no schema for apiVersion ${doc.apiVersion}, kind ${doc.kind}`);
        return;
    }
    const [module, sets] = entry;
    for (const [setName, prefix] of sets) {
        const name = module.split("/").pop();
        const Model = require(`${prefix}/${module}`)[name];
        try {
            new Model(doc).validate();
        } catch (error) {
            failures[index].push(`${setName} schema: ${error.message}`);
        }
        checks.push([index, setName, `${prefix}/${module}`, name]);
    }
});

// One source file, never written: each document as a constant of its type.
const source = path.join(__dirname, "manifests.virtual.ts");
const lines = [];
const lineOwner = [];
checks.forEach(([index, setName, module, name], n) => {
    lines.push(`import type { I${name} as T${n} } from "${module}";`);
    lineOwner.push([index, setName]);
});
checks.forEach(([index, setName], n) => {
    const text = `export const d${n}: T${n} = ${JSON.stringify(documents[index], null, 1)};`;
    for (const line of text.split("\n")) {
        lines.push(line);
        lineOwner.push([index, setName]);
    }
});
const text = lines.join("\n") + "\n";
const options = {
    strict: true,
    noEmit: true,
    skipLibCheck: true,
    types: [],
    module: ts.ModuleKind.Node16,
    moduleResolution: ts.ModuleResolutionKind.Node16,
    target: ts.ScriptTarget.ES2020,
    lib: ["lib.es2020.d.ts"],
};
const host = ts.createCompilerHost(options);
const getSourceFile = host.getSourceFile;
host.getSourceFile = (file, language, ...rest) =>
    file === source ? ts.createSourceFile(file, text, language) : getSourceFile(file, language, ...rest);
const fileExists = host.fileExists;
host.fileExists = (file) => file === source || fileExists(file);
const readFile = host.readFile;
host.readFile = (file) => (file === source ? text : readFile(file));
const program = ts.createProgram([source], options, host);
for (const diagnostic of ts.getPreEmitDiagnostics(program)) {
    const message = ts.flattenDiagnosticMessageText(diagnostic.messageText, " ");
    if (!diagnostic.file || diagnostic.file.fileName !== source) {
        console.log(`FAIL the types do not compile: ${message}`);
        process.exitCode = 1;
        continue;
    }
    const { line } = diagnostic.file.getLineAndCharacterOfPosition(diagnostic.start);
    const [index, setName] = lineOwner[line];
    failures[index].push(`${setName} types: ${message}`);
}

documents.forEach((doc, index) => {
    if (files.length > 1 && (index === 0 || documentFile[index - 1] !== documentFile[index]))
        console.log(`# ${documentFile[index]}`);
    if (failures[index].length === 0) {
        console.log(`ok   ${describe(doc)}`);
        return;
    }
    process.exitCode = 1;
    for (const failure of failures[index]) console.log(`FAIL ${describe(doc)}: ${failure}`);
});
