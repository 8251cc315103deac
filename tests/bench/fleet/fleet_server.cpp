// SPDX-License-Identifier: BSD-2-Clause
// A fleet of machines for one Prometheus to scrape: each node's page of 27
// EBS volumes, written by the exporter's own metric writer from readings that
// advance with the clock, and kube-state-metrics' page of the fleet's nodes,
// persistent volumes, claims and pods. Run by run.sh (make bench-fleet).
//
//   fleet_server PORT NODES BINS TARGETS_FOLDER [MERGED_NODES BOUNDS]
//
// BINS is the device's histogram: 32 bins whose edges grow by a factor of
// the square root of 2 from 32 us, or 64 by its square root, the last bin
// open. Pages: /node/K/metrics for K from 0 to NODES-1; /merged/K/metrics,
// for the first MERGED_NODES, the same readings with the bins merged into
// BOUNDS (comma-separated seconds, as --collector.latency-buckets takes them);
// /ksm/metrics. Writes Prometheus's file_sd target lists ebs.json, merged.json
// and ksm.json into TARGETS_FOLDER, with the labels the documented scrape job
// gives: instance and node the node's name. Prints what one node's page costs
// to render and to compress, then "ready", and serves until stopped.
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <ctime>
#include <pthread.h>
#include <microhttpd.h>
#include <unistd.h>

#include "exporter/metrics.h"
#include "exporter/readings.h"
#include "exporter/text_buffer.h"
#include "exporter/web/gzip.h"
#include "stats/interval.h"

namespace {

const int volumes_per_node = 27;
const int namespaces = 40;

int nodes, bins, merged_nodes;
char address[32]; // 127.0.0.1:PORT
latency_buckets merged_bounds;
double started; // the clock's seconds when the fleet began
scrape_readings readings;
text_buffer page, packed, ksm_page, ksm_packed;

double now()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double thread_seconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

uint64_t mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

void node_name(int node, char (&name)[64])
{
    snprintf(name, sizeof name, "ip-10-%d-%d-%d.ec2.internal", 10 + node / 65536,
             node / 256 % 256, node % 256);
}

void volume_id(int node, int volume, char (&id)[24])
{
    // Every digit as random as the platform's (the rules split the volumes
    // by the last one); mix is one to one, so no two volumes share an ID.
    snprintf(id, sizeof id, "vol-0%016" PRIx64, mix(uint64_t(node) * 64 + volume));
}

// Upper edge of bin i in microseconds.
uint64_t edge(int i)
{
    if (i == bins - 1)
        return open_upper_bound;
    double step = bins == 64 ? 4.0 : 2.0;
    return static_cast<uint64_t>(llround(32.0 * exp2(i / step)));
}

// Share of operations in bin i of a log-normal latency of the given median.
double share(int i, double median_us, double sigma)
{
    auto below = [&](int k) {
        if (k < 0)
            return 0.0;
        if (k >= bins - 1)
            return 1.0;
        return 0.5 * erfc(-(log(double(edge(k))) - log(median_us)) / (sigma * sqrt(2.0)));
    };
    return below(i) - below(i - 1);
}

// Volume k of node n at t seconds of its life: steady rates, a throttled
// minority (one volume in twenty at its IOPS limit, one in fifty at its
// throughput limit, and then slow), latencies whose median ranges from
// 0.2 to 3 ms.
void fill_reading(int node, int volume, double t, controller_reading* r)
{
    uint64_t h = mix(uint64_t(node) * 64 + volume + 1);
    memset(r, 0, sizeof *r);
    snprintf(r->controller, sizeof r->controller, "nvme%d", volume);
    snprintf(r->device, sizeof r->device, "nvme%dn1", volume);
    r->identified = r->is_ebs = r->has_stats = r->has_totals = true;
    volume_id(node, volume, r->identity.volume_id);
    snprintf(r->identity.serial, sizeof r->identity.serial, "vol0%016" PRIx64,
             uint64_t(strtoull(r->identity.volume_id + 5, nullptr, 16)));
    strcpy(r->identity.model, "Amazon Elastic Block Store");
    snprintf(r->identity.block_device, sizeof r->identity.block_device,
             volume == 0 ? "xvda" : "xvd%c%c", 'b' + (volume - 1) / 26, 'a' + (volume - 1) % 26);
    r->nanoseconds = 400000 + h % 900000;
    bool iops_limited = h % 20 == 0, throughput_limited = h % 50 == 1;
    bool instance_limited = mix(node) % 50 == 0;
    double reads = 20 + double(h >> 8 & 2047), writes = 10 + double(h >> 20 & 1023);
    double median = 200 * exp2(double(h >> 32 & 15) / 4), sigma = 0.5 + double(h >> 40 & 7) / 14;
    if (iops_limited || throughput_limited)
        median *= 16;
    ebs_stats_log& p = r->page;
    p.total_read_ops = uint64_t(reads * t);
    p.total_write_ops = uint64_t(writes * t);
    p.total_read_bytes = p.total_read_ops * 16384;
    p.total_write_bytes = p.total_write_ops * 65536;
    p.total_read_time = uint64_t(reads * t * median * exp(sigma * sigma / 2));
    p.total_write_time = uint64_t(writes * t * median * 1.5 * exp(sigma * sigma / 2));
    p.ebs_volume_performance_exceeded_iops = iops_limited ? uint64_t(t * 300000) : 0;
    p.ebs_volume_performance_exceeded_tp = throughput_limited ? uint64_t(t * 200000) : 0;
    p.ec2_instance_ebs_performance_exceeded_iops = instance_limited ? uint64_t(t * 150000) : 0;
    p.ec2_instance_ebs_performance_exceeded_tp = 0;
    p.volume_queue_length = (iops_limited ? 40 : 0) + uint64_t(t) % 7 + h % 5;
    latency_histogram* histograms[] = {&p.read_io_latency_histogram, &p.write_io_latency_histogram};
    uint64_t* totals[] = {r->read_totals, r->write_totals};
    double rates[] = {reads, writes}, medians[] = {median, median * 1.5};
    for (int k = 0; k < 2; k++) {
        histograms[k]->num_bins = bins;
        for (int i = 0; i < bins; i++) {
            histogram_bin& bin = histograms[k]->bins[i];
            bin.lower = i == 0 ? 0 : edge(i - 1);
            bin.upper = edge(i);
            totals[k][i] = uint64_t(rates[k] * t * share(i, medians[k], sigma));
            bin.count = static_cast<uint32_t>(totals[k][i]);
        }
    }
}

void render_node(int node, bool merged)
{
    double t = 86400 + now() - started;
    readings.count = volumes_per_node;
    for (int v = 0; v < volumes_per_node; v++)
        fill_reading(node, v, t, &readings.readings[v]);
    if (merged)
        use_latency_buckets(merged_bounds);
    render_metrics(readings, &page);
    if (merged)
        use_latency_buckets(latency_buckets{});
}

// kube-state-metrics' series for the fleet: every node, a persistent volume
// for every volume but the root one, claims for all of them but the last,
// whose claim is gone, and a running pod for each claim. Family by family,
// as the text format wants them.
enum ksm_family { node_info, pv_info, pv_phase, claim_ref, claim_info, claim_phase, pod_volumes,
                  pod_info, pod_phase, ksm_families };

void ksm_series(ksm_family family, int n, int v)
{
    char name[64], id[24], pv[64], claim[64], pod[96], ns[32], uid[32];
    node_name(n, name);
    if (family == node_info) {
        append_text(&ksm_page,
                    "kube_node_info{node=\"%s\",kernel_version=\"6.1.115-126.197.amzn2023.x86_64\","
                    "os_image=\"Amazon Linux 2023\",container_runtime_version=\"containerd://1.7.23\","
                    "kubelet_version=\"v1.31.2-eks-94953ac\",provider_id=\"aws:///us-east-1a/i-0%016x\","
                    "internal_ip=\"10.%d.%d.%d\"} 1\n",
                    name, n, 10 + n / 65536, n / 256 % 256, n % 256);
        return;
    }
    volume_id(n, v, id);
    snprintf(pv, sizeof pv, "pvc-%08x-%04x", unsigned(mix(n * 64 + v) >> 32), n * 64 + v);
    snprintf(claim, sizeof claim, "data-%d-%d", n, v);
    snprintf(pod, sizeof pod, "app-%d-%d-0", n, v);
    snprintf(ns, sizeof ns, "team-%02d", int(mix(n * 64 + v + 7) % namespaces));
    snprintf(uid, sizeof uid, "%08x-%04x", unsigned(mix(n * 64 + v)), v);
    bool claimed = v < volumes_per_node - 1;
    switch (family) {
    case pv_info:
        append_text(&ksm_page,
                    "kube_persistentvolume_info{persistentvolume=\"%s\",storageclass=\"gp3\","
                    "gce_persistentdisk_name=\"\",ebs_volume_id=\"\",azure_disk_name=\"\","
                    "fc_wwids=\"\",fc_lun=\"\",fc_target_wwns=\"\",iscsi_target_portal=\"\","
                    "iscsi_iqn=\"\",iscsi_lun=\"\",iscsi_initiator_name=\"\",nfs_server=\"\","
                    "nfs_path=\"\",csi_driver=\"ebs.csi.aws.com\",csi_volume_handle=\"%s\","
                    "local_path=\"\",local_fs=\"\",host_path=\"\",host_path_type=\"\"} 1\n",
                    pv, id);
        break;
    case pv_phase:
        append_text(&ksm_page,
                    "kube_persistentvolume_status_phase{persistentvolume=\"%s\",phase=\"Bound\"} %d\n"
                    "kube_persistentvolume_status_phase{persistentvolume=\"%s\",phase=\"Released\"} %d\n",
                    pv, claimed ? 1 : 0, pv, claimed ? 0 : 1);
        break;
    case claim_ref:
        append_text(&ksm_page,
                    "kube_persistentvolume_claim_ref{persistentvolume=\"%s\",name=\"%s\","
                    "claim_namespace=\"%s\"} 1\n",
                    pv, claimed ? claim : "", claimed ? ns : "");
        break;
    case claim_info:
        if (claimed)
            append_text(&ksm_page,
                        "kube_persistentvolumeclaim_info{namespace=\"%s\",persistentvolumeclaim=\"%s\","
                        "storageclass=\"gp3\",volumename=\"%s\",volumemode=\"Filesystem\"} 1\n",
                        ns, claim, pv);
        break;
    case claim_phase:
        if (claimed)
            append_text(&ksm_page,
                        "kube_persistentvolumeclaim_status_phase{namespace=\"%s\","
                        "persistentvolumeclaim=\"%s\",phase=\"Bound\"} 1\n", ns, claim);
        break;
    case pod_volumes:
        if (claimed)
            append_text(&ksm_page,
                        "kube_pod_spec_volumes_persistentvolumeclaims_info{namespace=\"%s\",pod=\"%s\","
                        "uid=\"%s\",volume=\"data\",persistentvolumeclaim=\"%s\"} 1\n",
                        ns, pod, uid, claim);
        break;
    case pod_info:
        if (claimed)
            append_text(&ksm_page,
                        "kube_pod_info{namespace=\"%s\",pod=\"%s\",uid=\"%s\",host_ip=\"10.%d.%d.%d\","
                        "pod_ip=\"100.%d.%d.%d\",node=\"%s\",created_by_kind=\"StatefulSet\","
                        "created_by_name=\"app-%d-%d\",priority_class=\"\",host_network=\"false\"} 1\n",
                        ns, pod, uid, 10 + n / 65536, n / 256 % 256, n % 256, n / 256 % 256, n % 256, v,
                        name, n, v);
        break;
    case pod_phase:
        if (claimed)
            for (const char* phase : {"Pending", "Running", "Succeeded", "Failed", "Unknown"})
                append_text(&ksm_page,
                            "kube_pod_status_phase{namespace=\"%s\",pod=\"%s\",uid=\"%s\",phase=\"%s\"} %d\n",
                            ns, pod, uid, phase, strcmp(phase, "Running") == 0 ? 1 : 0);
        break;
    default:
        break;
    }
}

void render_ksm()
{
    static const char* const heads[ksm_families][2] = {
        {"kube_node_info", "Information about a cluster node."},
        {"kube_persistentvolume_info", "Information about persistentvolume."},
        {"kube_persistentvolume_status_phase", "The phase indicates if a volume is available, bound to a claim, or released by a claim."},
        {"kube_persistentvolume_claim_ref", "Information about the Persistent Volume Claim Reference."},
        {"kube_persistentvolumeclaim_info", "Information about persistent volume claim."},
        {"kube_persistentvolumeclaim_status_phase", "The phase the persistent volume claim is currently in."},
        {"kube_pod_spec_volumes_persistentvolumeclaims_info", "Information about persistentvolumeclaim volumes in a pod."},
        {"kube_pod_info", "Information about pod."},
        {"kube_pod_status_phase", "The pods current phase."},
    };
    clear_text(&ksm_page);
    for (int f = 0; f < ksm_families; f++) {
        append_text(&ksm_page, "# HELP %s %s\n# TYPE %s gauge\n", heads[f][0], heads[f][1],
                    heads[f][0]);
        for (int n = 0; n < nodes; n++)
            for (int v = f == node_info ? volumes_per_node - 1 : 1; v < volumes_per_node; v++)
                ksm_series(static_cast<ksm_family>(f), n, v);
    }
    gzip_text(ksm_page.data, ksm_page.used, &ksm_packed);
}

MHD_Result answer(void*, MHD_Connection* connection, const char* url, const char*, const char*,
                  const char*, size_t*, void** state)
{
    if (*state == nullptr) { // headers only so far
        *state = connection;
        return MHD_YES;
    }
    int node = -1;
    char kind[16] = "", rest[16] = "";
    const text_buffer* body = nullptr;
    bool zipped = accepts_gzip(
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING));
    if (strcmp(url, "/ksm/metrics") == 0) {
        body = zipped ? &ksm_packed : &ksm_page;
    } else if (sscanf(url, "/%15[a-z]/%d/%15s", kind, &node, rest) == 3
               && strcmp(rest, "metrics") == 0 && node >= 0
               && ((strcmp(kind, "node") == 0 && node < nodes)
                   || (strcmp(kind, "merged") == 0 && node < merged_nodes))) {
        render_node(node, kind[0] == 'm');
        body = &page;
        if (zipped && gzip_text(page.data, page.used, &packed))
            body = &packed;
        else
            zipped = false;
    }
    MHD_Response* response;
    unsigned status = MHD_HTTP_OK;
    if (body == nullptr) {
        status = MHD_HTTP_NOT_FOUND;
        response = MHD_create_response_from_buffer(0, const_cast<char*>(""), MHD_RESPMEM_PERSISTENT);
    } else {
        response = MHD_create_response_from_buffer(body->used, body->data, MHD_RESPMEM_MUST_COPY);
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, metrics_content_type);
        if (zipped)
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    }
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

bool write_targets(const char* folder, const char* file, const char* path, int count)
{
    char name[4096];
    snprintf(name, sizeof name, "%s/%s", folder, file);
    FILE* out = fopen(name, "w");
    if (out == nullptr)
        return false;
    fputs("[\n", out);
    for (int n = 0; n < count; n++) {
        char node[64];
        node_name(n, node);
        fprintf(out,
                "  {\"targets\": [\"%s\"], \"labels\": {\"__metrics_path__\": \"/%s/%d/metrics\", "
                "\"instance\": \"%s\", \"node\": \"%s\"}}%s\n",
                address, path, n, node, node, n + 1 < count ? "," : "");
    }
    fputs("]\n", out);
    return fclose(out) == 0;
}

} // namespace

// Parses the bounds as the exporter does: rising seconds, in whole microseconds.
bool parse_bounds(const char* text, latency_buckets* buckets)
{
    buckets->count = 0;
    for (const char* p = text; *p != '\0';) {
        char* end;
        double seconds = strtod(p, &end);
        if (end == p || buckets->count == histogram_bins || !(seconds > 0))
            return false;
        buckets->upper[buckets->count++] = static_cast<uint64_t>(llround(seconds * 1e6));
        p = *end == ',' ? end + 1 : end;
        if (*end != ',' && *end != '\0')
            return false;
    }
    return buckets->count > 0;
}

// What one node's page costs, plain and compressed, over many renderings.
void measure_page(bool merged)
{
    const int rounds = 50;
    double render = 0, compress = 0;
    for (int i = 0; i < rounds; i++) {
        double t0 = thread_seconds();
        render_node(i % nodes, merged);
        double t1 = thread_seconds();
        gzip_text(page.data, page.used, &packed);
        compress += thread_seconds() - t1;
        render += t1 - t0;
    }
    int samples = 0;
    for (size_t i = 0; i < page.used; i++)
        samples += page.data[i] == '\n' && (i + 1 == page.used || page.data[i + 1] != '#');
    printf("page\t%s\t%d\t%zu\t%zu\t%.1f\t%.1f\n", merged ? "merged" : "device", samples,
           page.used, packed.used, render / rounds * 1e6, compress / rounds * 1e6);
}

int main(int argc, char** argv)
{
    if (argc != 5 && argc != 7) {
        fprintf(stderr, "usage: fleet_server PORT NODES BINS TARGETS_FOLDER [MERGED_NODES BOUNDS]\n");
        return 2;
    }
    int port = atoi(argv[1]);
    nodes = atoi(argv[2]);
    bins = atoi(argv[3]);
    merged_nodes = argc == 7 ? atoi(argv[5]) : 0;
    if (port <= 0 || port > 65535 || nodes <= 0 || nodes > 65536 || (bins != 32 && bins != 64)
        || merged_nodes < 0 || merged_nodes > nodes
        || (argc == 7 && !parse_bounds(argv[6], &merged_bounds))) {
        fprintf(stderr, "fleet_server: invalid arguments\n");
        return 2;
    }
    snprintf(address, sizeof address, "127.0.0.1:%d", port);
    started = now();
    if (!write_targets(argv[4], "ebs.json", "node", nodes)
        || !write_targets(argv[4], "merged.json", "merged", merged_nodes)) {
        fprintf(stderr, "fleet_server: cannot write the targets into %s\n", argv[4]);
        return 1;
    }
    char ksm[4096];
    snprintf(ksm, sizeof ksm, "%s/ksm.json", argv[4]);
    FILE* out = fopen(ksm, "w");
    if (out == nullptr)
        return 1;
    fprintf(out, "[{\"targets\": [\"%s\"], \"labels\": {\"__metrics_path__\": \"/ksm/metrics\"}}]\n",
            address);
    fclose(out);
    // The page's samples, bytes plain and gzip, and CPU microseconds to render and compress.
    printf("#\tpage\tsamples\tbytes\tgzip_bytes\trender_us\tgzip_us\n");
    measure_page(false);
    if (merged_nodes > 0)
        measure_page(true);
    render_ksm();
    printf("ksm\t%zu\t%zu\n", ksm_page.used, ksm_packed.used);

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // One thread serves every request, so the merged pages' bounds are set
    // and taken back between two renderings.
    MHD_Daemon* daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, static_cast<uint16_t>(port), nullptr,
        nullptr, &answer, nullptr, MHD_OPTION_CONNECTION_LIMIT, 4000u,
        MHD_OPTION_CONNECTION_TIMEOUT, 120u, MHD_OPTION_END);
    if (daemon == nullptr) {
        fprintf(stderr, "fleet_server: cannot listen on %s\n", address);
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    int signal_number;
    sigwait(&stop, &signal_number);
    MHD_stop_daemon(daemon);
    return 0;
}
