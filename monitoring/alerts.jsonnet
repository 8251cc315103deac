// SPDX-License-Identifier: BSD-2-Clause
// jsonnet -S alerts.jsonnet > alerts.yml
(import 'manifest.libsonnet').yaml((import 'mixin.libsonnet').prometheusAlerts)
