// SPDX-License-Identifier: BSD-2-Clause
// The Prometheus text format of one scrape: every family once, its samples
// for each volume together.
#pragma once

#include "exporter/readings.h"
#include "exporter/text_buffer.h"

// The media type of the page that render_metrics writes.
extern const char metrics_content_type[];

void render_metrics(const scrape_readings& readings, text_buffer* out);

// The EBS volumes and the instance-storage disks of one scrape, each once
// however many controllers or namespaces lead to it.
struct device_counts {
    int volumes;
    int disks;
};
device_counts count_devices(const scrape_readings& readings);

// Upper bounds, in microseconds and rising, that the latency histograms are
// reduced to; with none (the default), every bin of the device is a bucket.
struct latency_buckets {
    int count;
    uint64_t upper[histogram_bins];
};

// The bounds of every page rendered from now on: called once at start,
// before any thread renders.
void use_latency_buckets(const latency_buckets& buckets);
