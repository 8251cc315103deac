// SPDX-License-Identifier: BSD-2-Clause
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

const char exporter_binary[] = EXPORTER_BINARY;

int free_port()
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        perror("free_port");
        exit(2);
    }
    close(probe);
    return ntohs(address.sin_port);
}

static int connect_to(int port)
{
    int connection = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(connection);
        return -1;
    }
    return connection;
}

std::string http_exchange(int port, const std::string& request, int timeout_ms)
{
    int connection = connect_to(port);
    if (connection < 0)
        return "";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(connection, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break; // the server may answer and close before it has read everything
        sent += n;
    }
    std::string response;
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        pollfd wait{connection, POLLIN, 0};
        if (left <= 0 || poll(&wait, 1, left) <= 0)
            break;
        char chunk[65536];
        ssize_t n = recv(connection, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        response.append(chunk, n);
    }
    close(connection);
    return response;
}

std::string http_get(int port, const std::string& path, const char* method)
{
    return http_exchange(port, std::string(method) + " " + path
                                   + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

int http_status(const std::string& response)
{
    int status = 0;
    return sscanf(response.c_str(), "HTTP/1.%*d %d", &status) == 1 ? status : 0;
}

std::string http_body(const std::string& response)
{
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
}

fleet_process start_exporter(int port, const std::vector<std::string>& more)
{
    std::vector<std::string> argv = {"volscan-exporter",
                                     "--web.listen-address=127.0.0.1:" + std::to_string(port)};
    // The default user is made by the packages, and the test machine need not
    // have it: nobody is on every machine. A test that chooses passes its own.
    bool user_given = std::any_of(more.begin(), more.end(), [](const std::string& option) {
        return option.rfind("--web.user=", 0) == 0;
    });
    if (!user_given)
        argv.push_back("--web.user=nobody");
    argv.insert(argv.end(), more.begin(), more.end());
    fleet_process process = fleet_spawn(exporter_binary, argv);
    if (wait_for_port(port, 5000))
        return process;
    fprintf(stderr, "volscan-exporter did not start listening on port %d\n", port);
    exit(2);
}

run_result end_within(fleet_process& process, int signal_number, double seconds)
{
    if (signal_number)
        kill(process.pid, signal_number);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        siginfo_t info{};
        // WNOWAIT: fleet_finish reaps it and reads its status.
        if (waitid(P_PID, process.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0)
            return fleet_finish(process, 0);
        usleep(20000);
    }
    return fleet_finish(process, SIGKILL);
}

std::string shell(const std::string& command, int* status)
{
    FILE* pipe = popen(command.c_str(), "r");
    std::string out = read_all(fileno(pipe));
    int result = pclose(pipe);
    if (status)
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : 128 + WTERMSIG(result);
    return out;
}

std::vector<std::string> sorted_lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size() - 1;
        lines.push_back(text.substr(at, end + 1 - at));
        at = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string start_line(int port, int threads)
{
    return "volscan-exporter: version 1.0.0 listening on 127.0.0.1:" + std::to_string(port)
        + ", reading up to " + std::to_string(threads) + " devices at once\n";
}

std::string found(const std::string& counts)
{
    return "volscan-exporter: found " + counts + "\n";
}

const std::vector<std::string> mixed_fleet_log = {
    "volscan-exporter: found 3 volumes, 1 instance-storage disk\n",
    "volscan-exporter: nvme3n1 (nvme3): the statistics log page: Input/output error\n",
    "volscan-exporter: nvme5n1 (nvme5): the Identify command: Input/output error\n",
};

std::vector<std::string> lines_with(const std::string& page, const std::string& prefix)
{
    std::vector<std::string> found;
    size_t at = 0;
    while (at < page.size()) {
        size_t end = page.find('\n', at);
        if (end == std::string::npos)
            end = page.size();
        if (page.compare(at, prefix.size(), prefix) == 0)
            found.push_back(page.substr(at, end - at));
        at = end + 1;
    }
    return found;
}

double sample_value(const std::string& page, const std::string& series)
{
    for (const std::string& line : lines_with(page, series + " "))
        return strtod(line.c_str() + series.size() + 1, nullptr);
    return -1;
}

run_result promtool_check(const std::string& page)
{
    char name[] = "/tmp/promtool-page-XXXXXX";
    int file = mkstemp(name);
    if (write(file, page.data(), page.size()) != static_cast<ssize_t>(page.size())) {
        perror("promtool_check");
        exit(2);
    }
    close(file);
    run_result result;
    result.out = shell(std::string("promtool check metrics < ") + name + " 2>&1", &result.status);
    unlink(name);
    return result;
}

pid_t start_program(const std::vector<std::string>& argv, const std::string& log_path)
{
    std::vector<char*> args = c_strings(argv);
    pid_t child = fork();
    if (child == 0) {
        int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(log, 1);
        dup2(log, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    return child;
}

void stop_program(pid_t pid)
{
    kill(pid, SIGTERM);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

pid_t start_prometheus(const std::string& folder, int port, const std::vector<int>& target_ports,
                       const std::vector<std::string>& rule_files)
{
    std::string config = "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nrule_files:\n";
    for (const std::string& file : rule_files)
        config += "  - '" + file + "'\n";
    config += "scrape_configs:\n  - job_name: ebs\n    static_configs:\n      - targets:\n";
    for (int target : target_ports)
        config += "          - '127.0.0.1:" + std::to_string(target) + "'\n";
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

bool wait_for_port(int port, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        int connection = connect_to(port);
        if (connection >= 0) {
            close(connection);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

temporary_folder::temporary_folder()
{
    char name[] = "/tmp/exporter-test-XXXXXX";
    path = mkdtemp(name);
    // The exporter's metrics side, user nobody, reads what the tests put here.
    chmod(path.c_str(), 0755);
}

temporary_folder::~temporary_folder() { shell("rm -rf '" + path + "'"); }

std::string read_file(const std::string& path)
{
    std::string text;
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr)
        return text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    fclose(file);
    return text;
}

bool make_certificates(const std::string& folder)
{
    const char* script =
        "set -e; cd '%s'\n"
        "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' >server.ext\n"
        "printf 'extendedKeyUsage=clientAuth\\n' >client.ext\n"
        "for ca in ca other; do\n"
        "  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \\\n"
        "    -keyout $ca.key -out $ca.crt -subj /CN=$ca 2>/dev/null\n"
        "  for end in server client; do\n"
        "    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \\\n"
        "      -keyout $ca-$end.key -out $ca-$end.csr -subj /CN=$end 2>/dev/null\n"
        "    openssl x509 -req -in $ca-$end.csr -CA $ca.crt -CAkey $ca.key -CAcreateserial \\\n"
        "      -days 2 -extfile $end.ext -out $ca-$end.crt 2>/dev/null\n"
        "  done\n"
        "done\n"
        // Cost 5: the cheapest bcrypt that htpasswd makes, to keep the tests quick.
        "htpasswd -nbBC 5 alice secret | cut -d: -f2 | tr -d '\\n' >alice.hash\n"
        "htpasswd -nbBC 5 bob hunter2 | cut -d: -f2 | tr -d '\\n' >bob.hash\n"
        // openssl writes keys for their owner alone; the metrics side is nobody.
        "chmod a+r *.key\n";
    char command[2048];
    snprintf(command, sizeof command, script, folder.c_str());
    FILE* file = fopen((folder + "/make.sh").c_str(), "w");
    if (file == nullptr)
        return false;
    fputs(command, file);
    fclose(file);
    int status;
    std::string out = shell("timeout 60 sh '" + folder + "/make.sh' 2>&1", &status);
    if (status != 0)
        fprintf(stderr, "cannot make the test's certificates:\n%s", out.c_str());
    return status == 0;
}

controller_fixture wrapping_volume(int index, std::vector<uint32_t> counts)
{
    controller_fixture f = fleet_ebs_volume(index);
    f.live = false;
    f.pages.clear();
    uint64_t ops = 1000;
    for (uint32_t count : counts) {
        stats_values v;
        v.counters[0] = ops;
        ops += 1000;
        v.read_num_bins = 2;
        v.read_bins = {{0, 100, count}, {100, 200, 7}};
        f.pages.push_back(stats_page(v));
    }
    return f;
}

pid_t child_of(pid_t pid)
{
    DIR* folder = opendir("/proc");
    pid_t found = -1;
    while (dirent* entry = folder ? readdir(folder) : nullptr) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        std::string stat = read_file(std::string("/proc/") + entry->d_name + "/stat");
        size_t end = stat.rfind(')'); // after the command name, which may hold anything
        int parent;
        if (end != std::string::npos && sscanf(stat.c_str() + end + 1, " %*c %d", &parent) == 1
            && parent == pid) {
            found = atoi(entry->d_name);
            break;
        }
    }
    if (folder)
        closedir(folder);
    return found;
}

fleet_controller plain(const controller_fixture& fixture)
{
    fleet_controller c;
    c.fixture = fixture;
    return c;
}
