// SPDX-License-Identifier: BSD-2-Clause
// jsonnet -S -m dashboards dashboards.jsonnet: one file per dashboard.
local dashboards = (import 'mixin.libsonnet').grafanaDashboards;
{ [name]: (import 'manifest.libsonnet').json(dashboards[name]) for name in std.objectFields(dashboards) }
