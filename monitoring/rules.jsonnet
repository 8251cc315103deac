// SPDX-License-Identifier: BSD-2-Clause
// jsonnet -S rules.jsonnet > rules.yml
std.manifestYamlDoc((import 'mixin.libsonnet').prometheusRules, indent_array_in_object=true, quote_keys=false)
