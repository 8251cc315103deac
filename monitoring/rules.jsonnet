// SPDX-License-Identifier: BSD-2-Clause
// jsonnet -S rules.jsonnet > rules.yml
(import 'manifest.libsonnet').yaml((import 'mixin.libsonnet').prometheusRules)
