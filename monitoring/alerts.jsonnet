// SPDX-License-Identifier: BSD-2-Clause
// jsonnet -S alerts.jsonnet > alerts.yml
std.manifestYamlDoc((import 'mixin.libsonnet').prometheusAlerts, indent_array_in_object=true, quote_keys=false)
