// SPDX-License-Identifier: BSD-2-Clause
// Every query of the mixin's rules and dashboard, asked of a real Prometheus
// that scrapes volscan-exporter on the test bed and evaluates the rules: each
// must succeed and return data.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
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
    int dead_port = free_port(); // a second target that nobody serves: up is 0
    std::string monitoring = MONITORING_DIR;
    pid_t prometheus = start_prometheus(folder.path, prometheus_port, {exporter_port, dead_port},
                                        {monitoring + "/rules.yml", monitoring + "/alerts.yml"});
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

    // The dashboard's queries with its variables as Grafana fills them in for
    // this machine and volume; a variable's label_values(selector, label)
    // asks for the selector's series.
    std::string dashboard = quoted(monitoring + "/dashboards/volscan-ebs.json");
    std::vector<std::string> dashboard_queries =
        lines(shell("jq -r '.panels[].targets[]?.expr' " + dashboard));
    EXPECT_FALSE(dashboard_queries.empty());
    std::vector<std::string> variables =
        lines(shell("jq -r '.templating.list[] | select(.type == \"query\") | .query.query "
                    "| capture(\"^label_values\\\\((?<s>.*), *(?<l>\\\\w+)\\\\)$\") "
                    "| \"group by (\\(.l)) (\\(.s))\"' " + dashboard));
    EXPECT_EQ(shell("jq '[.templating.list[] | select(.type == \"query\")] | length' " + dashboard),
              std::to_string(variables.size()) + "\n");
    dashboard_queries.insert(dashboard_queries.end(), variables.begin(), variables.end());
    for (std::string& query : dashboard_queries) {
        replace_all(query, "$__rate_interval", "1m");
        replace_all(query, "$job", "ebs");
        replace_all(query, "$instance", "127.0.0.1:" + std::to_string(exporter_port));
        replace_all(query, "$volume", fleet_volume_id(0));
        EXPECT_EQ(query.find('$'), std::string::npos) << query;
    }

    std::vector<std::string> queries = rule_queries;
    queries.insert(queries.end(), dashboard_queries.begin(), dashboard_queries.end());
    for (const std::string& query : queries) {
        std::string answer = ask(prometheus_port, query);
        // absent() has data only when the exporter has gone from Prometheus.
        if (query.find("absent(") != std::string::npos)
            EXPECT_EQ(answer, "success 0") << query;
        else
            EXPECT_TRUE(answer.rfind("success ", 0) == 0 && answer != "success 0")
                << query << " -> " << answer;
    }

    stop_program(prometheus);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.status, 0) << result.err;
}
