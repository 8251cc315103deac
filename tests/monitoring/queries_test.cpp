// SPDX-License-Identifier: BSD-2-Clause
// Every query of the mixin's rules and dashboard, asked of a real Prometheus
// that scrapes volscan-exporter on the test bed and evaluates the rules: each
// must succeed and return data. Prometheus labels the scrapes as the
// Prometheus Operator does on Kubernetes, and scrapes a page of
// kube-state-metrics' series that names the bed's volumes' claims.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

// A volume over every threshold of the alerts. Each sample (a scrape, one a
// second) stands for a minute of the volume's life, so that rates over the
// rules' minutes-long window pass the thresholds after a few scrapes: 3000
// reads and 1000 writes a second, held back by all four limits (for 30, 20,
// 15 and 12 s of each minute), half of the operations slower than 1 ms and
// one in 50 slower than 100 ms, 64 operations queued.
controller_fixture throttled_volume()
{
    controller_fixture fixture = fleet_ebs_volume(0);
    fixture.live = false;
    fixture.pages.clear();
    static const uint64_t bounds[] = {0, 1000, 10000, 100000, 200000};
    static const uint32_t share[] = {50, 40, 8, 2};
    for (uint64_t k = 0; k < 900; k++) {
        stats_values v;
        uint64_t reads = 60 * 3000 * k, writes = 60 * 1000 * k;
        v.counters[0] = reads;
        v.counters[1] = writes;
        v.counters[2] = reads * 16384;
        v.counters[3] = writes * 65536;
        v.counters[4] = reads * 9000;
        v.counters[5] = writes * 12000;
        v.counters[6] = 30000000 * k;
        v.counters[7] = 20000000 * k;
        v.counters[8] = 15000000 * k;
        v.counters[9] = 12000000 * k;
        v.counters[10] = 64;
        v.read_num_bins = v.write_num_bins = 4;
        for (int i = 0; i < 4; i++) {
            v.read_bins.push_back({bounds[i], bounds[i + 1], static_cast<uint32_t>(reads * share[i] / 100)});
            v.write_bins.push_back({bounds[i], bounds[i + 1], static_cast<uint32_t>(writes * share[i] / 100)});
        }
        fixture.pages.push_back(stats_page(v));
    }
    return fixture;
}

// A volume whose statistics page fails at every scrape.
controller_fixture failing_volume()
{
    controller_fixture fixture = fleet_ebs_volume(1);
    fixture.live = false;
    fixture.log_fail_from = 0;
    fixture.log_errno = EIO;
    return fixture;
}

// Serves one fixed page of metrics to every request on 127.0.0.1, as
// kube-state-metrics would, until it goes out of scope.
struct page_server {
    explicit page_server(const std::string& page);
    ~page_server();
    int port = -1;
    int listener = -1;
    std::string response;
    std::atomic<bool> stopping{false};
    std::thread serving;
};

page_server::page_server(const std::string& page)
{
    response = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: "
        + std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page;
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0
        || listen(listener, 8) != 0
        || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        perror("page_server");
        return;
    }
    port = ntohs(address.sin_port);
    serving = std::thread([this] {
        while (!stopping) {
            pollfd ready = {listener, POLLIN, 0};
            if (poll(&ready, 1, 100) != 1)
                continue;
            int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
            // The request's head, read up to its blank line within a second.
            std::string request;
            char chunk[1024];
            pollfd incoming = {connection, POLLIN, 0};
            while (request.find("\r\n\r\n") == std::string::npos && poll(&incoming, 1, 1000) == 1) {
                ssize_t got = read(connection, chunk, sizeof chunk);
                if (got <= 0)
                    break;
                request.append(chunk, static_cast<size_t>(got));
            }
            for (size_t sent = 0; sent < response.size();) {
                ssize_t wrote = send(connection, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
                if (wrote <= 0)
                    break;
                sent += static_cast<size_t>(wrote);
            }
            close(connection);
        }
    });
}

page_server::~page_server()
{
    stopping = true;
    if (serving.joinable())
        serving.join();
    if (listener >= 0)
        close(listener);
}

// kube-state-metrics' series for the bed's two volumes, as it serves them:
// the first a CSI persistent volume, the second an in-tree one, their claims
// in namespace db, both mounted by the running pod pg-0; and a finished pod
// that named the first claim too.
std::string kube_state_metrics_page()
{
    std::string first = fleet_volume_id(0), second = fleet_volume_id(1);
    return "# TYPE kube_persistentvolume_info gauge\n"
           "kube_persistentvolume_info{persistentvolume=\"pv-0\",storageclass=\"gp3\","
           "csi_driver=\"ebs.csi.aws.com\",csi_volume_handle=\"" + first + "\",ebs_volume_id=\"\"} 1\n"
           "kube_persistentvolume_info{persistentvolume=\"pv-1\",storageclass=\"gp2\","
           "csi_driver=\"\",csi_volume_handle=\"\",ebs_volume_id=\"aws://us-east-1a/" + second + "\"} 1\n"
           "# TYPE kube_persistentvolume_claim_ref gauge\n"
           "kube_persistentvolume_claim_ref{persistentvolume=\"pv-0\",name=\"data-pg-0\",claim_namespace=\"db\"} 1\n"
           "kube_persistentvolume_claim_ref{persistentvolume=\"pv-1\",name=\"wal-pg-0\",claim_namespace=\"db\"} 1\n"
           "# TYPE kube_pod_spec_volumes_persistentvolumeclaims_info gauge\n"
           "kube_pod_spec_volumes_persistentvolumeclaims_info{namespace=\"db\",pod=\"pg-0\",uid=\"u0\","
           "volume=\"data\",persistentvolumeclaim=\"data-pg-0\",read_only=\"false\"} 1\n"
           "kube_pod_spec_volumes_persistentvolumeclaims_info{namespace=\"db\",pod=\"pg-0\",uid=\"u0\","
           "volume=\"wal\",persistentvolumeclaim=\"wal-pg-0\",read_only=\"false\"} 1\n"
           "kube_pod_spec_volumes_persistentvolumeclaims_info{namespace=\"db\",pod=\"dump-1\",uid=\"u1\","
           "volume=\"data\",persistentvolumeclaim=\"data-pg-0\",read_only=\"true\"} 1\n"
           "# TYPE kube_pod_status_phase gauge\n"
           "kube_pod_status_phase{namespace=\"db\",pod=\"pg-0\",uid=\"u0\",phase=\"Running\"} 1\n"
           "kube_pod_status_phase{namespace=\"db\",pod=\"pg-0\",uid=\"u0\",phase=\"Succeeded\"} 0\n"
           "kube_pod_status_phase{namespace=\"db\",pod=\"dump-1\",uid=\"u1\",phase=\"Running\"} 0\n"
           "kube_pod_status_phase{namespace=\"db\",pod=\"dump-1\",uid=\"u1\",phase=\"Succeeded\"} 1\n";
}

// A Prometheus that scrapes and evaluates every second: the exporters as the
// Prometheus Operator labels a pod's targets (the exporter pod's own
// namespace and pod), and kube-state-metrics with the labels it serves kept
// (honor_labels), as its usual monitor asks. -1 when it did not listen in 30 s.
pid_t start_kubernetes_prometheus(const std::string& folder, int port, const std::vector<int>& exporters,
                                  int kube_state_metrics, const std::vector<std::string>& rule_files)
{
    std::string config = "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nrule_files:\n";
    for (const std::string& file : rule_files)
        config += "  - '" + file + "'\n";
    config += "scrape_configs:\n  - job_name: ebs\n    static_configs:\n      - labels:\n"
              "          namespace: volscan\n          pod: volscan-exporter-7x2kq\n        targets:\n";
    for (int target : exporters)
        config += "          - '127.0.0.1:" + std::to_string(target) + "'\n";
    config += "  - job_name: kube-state-metrics\n    honor_labels: true\n    static_configs:\n"
              "      - labels:\n          namespace: monitoring\n          pod: kube-state-metrics-0\n"
              "        targets: ['127.0.0.1:" + std::to_string(kube_state_metrics) + "']\n";
    FILE* file = fopen((folder + "/prometheus.yml").c_str(), "w");
    if (file == nullptr || fputs(config.c_str(), file) < 0 || fclose(file) != 0)
        return -1;
    pid_t prometheus = start_program(
        {"prometheus", "--config.file=" + folder + "/prometheus.yml",
         "--storage.tsdb.path=" + folder + "/data",
         "--web.listen-address=127.0.0.1:" + std::to_string(port)},
        folder + "/prometheus.log");
    if (wait_for_port(port, 30000))
        return prometheus;
    stop_program(prometheus);
    return -1;
}

std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// "status count" of a query's answer: "success 3".
std::string ask(int port, const std::string& query)
{
    std::string answer = shell("curl -s --max-time 10 http://127.0.0.1:" + std::to_string(port)
                               + "/api/v1/query --data-urlencode " + quoted("query=" + query)
                               + " | jq -r '\"\\(.status) \\(.data.result | length)\"'");
    while (!answer.empty() && answer.back() == '\n')
        answer.pop_back();
    return answer;
}

// The lines of a program's output.
std::vector<std::string> lines(const std::string& text) { return lines_with(text, ""); }

void replace_all(std::string& text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

} // namespace

TEST(mixin, every_query_answers_on_a_real_prometheus)
{
    fleet_controller throttled, failing;
    throttled.fixture = throttled_volume();
    failing.fixture = failing_volume();
    fleet_scope bed({throttled, failing});
    int exporter_port = free_port();
    fleet_process exporter = start_exporter(exporter_port);
    temporary_folder folder;
    int prometheus_port = free_port();
    // Two targets that nobody serves: up is 0, and a share of the exporters
    // down that passes the fleet's alert's.
    int dead_port = free_port(), second_dead_port = free_port();
    for (int tries = 0; tries < 10 && second_dead_port == dead_port; tries++)
        second_dead_port = free_port();
    std::string monitoring = MONITORING_DIR;
    page_server kube_state_metrics(kube_state_metrics_page());
    ASSERT_GT(kube_state_metrics.port, 0);
    // The rules and alerts as shipped, but evaluated every second: each
    // group's own interval goes.
    for (const char* name : {"rules.yml", "alerts.yml"}) {
        std::string shipped = read_file(monitoring + "/" + name);
        std::string every_second;
        for (const std::string& line : lines(shipped))
            if (line.find("    interval: ") != 0)
                every_second += line + "\n";
        ASSERT_NE(every_second, shipped) << name;
        FILE* copy = fopen((folder.path + "/" + name).c_str(), "w");
        ASSERT_TRUE(copy != nullptr && fputs(every_second.c_str(), copy) >= 0 && fclose(copy) == 0);
    }
    pid_t prometheus = start_kubernetes_prometheus(folder.path, prometheus_port, {exporter_port, dead_port, second_dead_port},
                                                   kube_state_metrics.port,
                                                   {folder.path + "/rules.yml", folder.path + "/alerts.yml"});
    ASSERT_GT(prometheus, 0) << read_file(folder.path + "/prometheus.log");

    // Until the smallest share passes its alert's threshold, as the rule
    // that reads another rule sees it.
    std::string last = "instance:ebs_instance_performance_exceeded_throughput_seconds:max_rate5m > 0.1";
    for (int tries = 0; tries < 300 && ask(prometheus_port, last) != "success 1"; tries++)
        usleep(100000);
    ASSERT_EQ(ask(prometheus_port, last), "success 1") << read_file(folder.path + "/prometheus.log");

    // Prometheus loaded every rule of both files, and evaluates each without error.
    std::string rules = "curl -s --max-time 10 http://127.0.0.1:" + std::to_string(prometheus_port)
        + "/api/v1/rules | jq -r ";
    std::vector<std::string> rule_queries = lines(shell(rules + "'.data.groups[].rules[].query'"));
    int written = std::stoi(shell("cat " + quoted(monitoring + "/rules.yml") + " "
                                  + quoted(monitoring + "/alerts.yml")
                                  + " | grep -cE '^ *(- )?(record|alert): '"));
    EXPECT_EQ(static_cast<int>(rule_queries.size()), written);
    EXPECT_EQ(shell(rules + "'.data.groups[].rules[] | select(.health != \"ok\") "
                            "| \"\\(.name): \\(.lastError)\"'"),
              "");

    // The dashboards' queries with their variables as Grafana fills them in
    // for this machine (its node, as the rules name it) and volume; a
    // variable's label_values(selector, label) asks for the selector's series,
    // and its query_result(query) the query.
    std::string dashboard = quoted(monitoring + "/dashboards") + "/*.json";
    std::vector<std::string> dashboard_queries =
        lines(shell("jq -r '.panels[].targets[]?.expr' " + dashboard));
    EXPECT_FALSE(dashboard_queries.empty());
    std::vector<std::string> variables =
        lines(shell("jq -r '.templating.list[] | select(.type == \"query\") | .query.query "
                    "| if startswith(\"query_result(\") then .[13:-1] "
                    "else capture(\"^label_values\\\\((?<s>.*), *(?<l>\\\\w+)\\\\)$\") "
                    "| \"group by (\\(.l)) (\\(.s))\" end' " + dashboard));
    EXPECT_EQ(shell("jq -s '[.[].templating.list[] | select(.type == \"query\")] | length' " + dashboard),
              std::to_string(variables.size()) + "\n");
    dashboard_queries.insert(dashboard_queries.end(), variables.begin(), variables.end());
    for (std::string& query : dashboard_queries) {
        replace_all(query, "$__rate_interval", "1m");
        replace_all(query, "$cluster", ".*");
        replace_all(query, "$node", "127.0.0.1:" + std::to_string(exporter_port));
        replace_all(query, "$pvc_volume", fleet_volume_id(0));
        for (const char* top : {"$top_held_back", "$top_slow", "$top_ops", "$top_bytes"})
            replace_all(query, top, fleet_volume_id(0));
        replace_all(query, "$job", "ebs");
        replace_all(query, "$instance", "127.0.0.1:" + std::to_string(exporter_port));
        replace_all(query, "$volume", fleet_volume_id(0));
        replace_all(query, "$namespace", "db");
        replace_all(query, "$claim", "data-pg-0");
        // Only a label_replace's group reference ($1) is left.
        for (size_t at = query.find('$'); at != std::string::npos; at = query.find('$', at + 1))
            EXPECT_TRUE(at + 1 < query.size() && isdigit(static_cast<unsigned char>(query[at + 1]))) << query;
    }

    // A latency group's rules ask for the volumes whose ID ends in their
    // shard's digits, which this machine's few volumes may not: each is
    // asked for every volume instead.
    for (std::string& query : rule_queries)
        for (const char* shard : {",volume_id=~\".*", ",volume_id!~\".*"})
            for (size_t at = query.find(shard); at != std::string::npos; at = query.find(shard, at))
                query.erase(at, query.find('"', at + strlen(shard)) + 1 - at);
    std::vector<std::string> queries = rule_queries;
    queries.insert(queries.end(), dashboard_queries.begin(), dashboard_queries.end());
    for (const std::string& query : queries) {
        std::string answer = ask(prometheus_port, query);
        // absent() has data only when the exporter has gone from Prometheus,
        // and the alert on ebs_volumes only when an exporter finds none.
        if (query.find("absent(") != std::string::npos || query.find("ebs_volumes{") != std::string::npos)
            EXPECT_EQ(answer, "success 0") << query;
        else
            EXPECT_TRUE(answer.rfind("success ", 0) == 0 && answer != "success 0")
                << query << " -> " << answer;
    }

    // Each volume named by its claim and the running pod, not by the
    // exporter's pod and namespace nor by kube-state-metrics'.
    std::string first = fleet_volume_id(0), second = fleet_volume_id(1);
    EXPECT_EQ(shell("curl -s --max-time 10 http://127.0.0.1:" + std::to_string(prometheus_port)
                    + "/api/v1/query --data-urlencode query=volume_id:ebs_volume_claim:info"
                    " | jq -r '.data.result[].metric | \"\\(.volume_id) \\(.persistentvolume) \\(.namespace)"
                    " \\(.persistentvolumeclaim) \\(.pod)\"' | sort"),
              first + " pv-0 db data-pg-0 pg-0\n" + second + " pv-1 db wal-pg-0 pg-0\n");

    // Every alert of a volume, pending by now, carries its claim's names;
    // each once.
    std::string alerts = "ALERTS{volume_id!=\"\"}";
    for (int tries = 0; tries < 100 && ask(prometheus_port, alerts) != "success 6"; tries++)
        usleep(100000);
    EXPECT_EQ(shell("curl -s --max-time 10 http://127.0.0.1:" + std::to_string(prometheus_port)
                    + "/api/v1/query --data-urlencode " + quoted("query=" + alerts)
                    + " | jq -r '.data.result[].metric | \"\\(.alertname) \\(.volume_id) \\(.namespace)"
                    " \\(.persistentvolumeclaim) \\(.pod)\"' | sort"),
              "EBSVolumeIOPSLimitExceeded " + first + " db data-pg-0 pg-0\n"
              "EBSVolumeQueueLengthHigh " + first + " db data-pg-0 pg-0\n"
              "EBSVolumeReadLatencyHigh " + first + " db data-pg-0 pg-0\n"
              "EBSVolumeStatisticsFailing " + second + " db wal-pg-0 pg-0\n"
              "EBSVolumeThroughputLimitExceeded " + first + " db data-pg-0 pg-0\n"
              "EBSVolumeWriteLatencyHigh " + first + " db data-pg-0 pg-0\n");

    stop_program(prometheus);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.status, 0) << result.err;
}
