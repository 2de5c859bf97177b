// server_load [--seconds S] [--clients 1,16,64] [--label NAME] [--server PATH] [--server-arg ARG]...
// [--postgres] [--no-nginx] [--keep DIR]: warehouse-server under load from many clients at once, on
// loopback.
//  1. Sign-in plus claim list: each client asks /api/status, then /api/claims/, again and again.
//  2. 1 MB archive uploads: each client takes a claim id and stores a 1 MB archive under it.
//  3. The ceiling of this machine: the same clients fetching a static file of the same size from
//     nginx over the same TLS certificate.
// Each load runs S seconds (5 by default) at each client count, on connections kept open; the
// figures are requests per second, latency percentiles and the server's processor time per
// request (user and system, from /proc: less swayed by other work on the machine than the rates).
// --server names the warehouse-server program to measure (by default the one built beside this
// bench), so that two builds, say one from before a change and one after, can be measured by the
// same bench in turn; the bench passes it only --data, --listen, --max-connections,
// --max-connections-per-address and --database, and add-user with its account options, which
// older builds take too. --server-arg passes a further argument on to warehouse-server, --label
// names that store in the output. --postgres measures again with the records in PostgreSQL, on a
// private cluster that the bench starts (tests/server/with_postgres.sh), once with one server and
// once with two servers over the one database, the clients' requests going to each in turn.
#include <curl/curl.h>
#include <zlib.h>

#include "BenchProcess.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <random>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using wh::bench::BenchChild;
using wh::bench::RunToEnd;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kCompany = "Load Adjusting";
constexpr const char* kUser = "loader";
constexpr const char* kPassword = "load-secret";
constexpr std::size_t kArchiveBytes = 1024 * 1024;

struct Options
{
    double seconds = 5;
    std::vector<int> clients { 1, 16, 64 };
    std::string label = "SQLite";
    std::string server = WH_SERVER_PROGRAM;
    std::vector<std::string> serverArgs;
    bool nginx = true;
    bool postgres = false;
    std::string keep;
};

int FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free loopback port");
    }
    const int port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

void Put16(std::string& out, unsigned value)
{
    out.push_back(static_cast<char>(value & 0xff));
    out.push_back(static_cast<char>((value >> 8) & 0xff));
}

void Put32(std::string& out, unsigned long value)
{
    Put16(out, value & 0xffff);
    Put16(out, (value >> 16) & 0xffff);
}

// A ZIP archive with one stored member of random bytes, `size` bytes in all give or take the
// headers: what a claim archive of that size looks like to the server.
std::string MakeArchive(std::size_t size)
{
    std::string data(size - 128, '\0');
    std::mt19937 random(7);
    for (char& c : data) {
        c = static_cast<char>(random());
    }
    const unsigned long crc = ::crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    const std::string name = "claim.bin";
    std::string zip;
    Put32(zip, 0x04034b50);
    Put16(zip, 20);
    Put16(zip, 0);
    Put16(zip, 0); // stored
    Put16(zip, 0);
    Put16(zip, 0x21);
    Put32(zip, crc);
    Put32(zip, data.size());
    Put32(zip, data.size());
    Put16(zip, static_cast<unsigned>(name.size()));
    Put16(zip, 0);
    zip += name;
    zip += data;
    const std::size_t central = zip.size();
    Put32(zip, 0x02014b50);
    Put16(zip, 20);
    Put16(zip, 20);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, 0x21);
    Put32(zip, crc);
    Put32(zip, data.size());
    Put32(zip, data.size());
    Put16(zip, static_cast<unsigned>(name.size()));
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, 0);
    Put32(zip, 0);
    Put32(zip, 0);
    zip += name;
    const std::size_t centralSize = zip.size() - central;
    Put32(zip, 0x06054b50);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, 1);
    Put16(zip, 1);
    Put32(zip, centralSize);
    Put32(zip, central);
    Put16(zip, 0);
    return zip;
}

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* target)
{
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// One client: a connection kept open between its requests.
class Client
{
public:
    Client()
        : m_curl(::curl_easy_init())
    {
        ::curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYPEER, 0L);
        ::curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYHOST, 0L);
        ::curl_easy_setopt(m_curl, CURLOPT_USERNAME, (std::string(kCompany) + "/" + kUser).c_str());
        ::curl_easy_setopt(m_curl, CURLOPT_PASSWORD, kPassword);
        ::curl_easy_setopt(m_curl, CURLOPT_TIMEOUT, 60L);
        ::curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &Collect);
        ::curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &m_body);
        ::curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
    }
    ~Client() { ::curl_easy_cleanup(m_curl); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // The status code, or 0 when no answer came; the body is kept in Body().
    long Get(const std::string& url) { return Send("GET", url, nullptr); }
    long Post(const std::string& url, const std::string& body) { return Send("POST", url, &body); }
    long Put(const std::string& url, const std::string& body) { return Send("PUT", url, &body); }
    const std::string& Body() const { return m_body; }

private:
    long Send(const char* method, const std::string& url, const std::string* body)
    {
        m_body.clear();
        ::curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
        ::curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, method);
        if (body) {
            ::curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body->data());
            ::curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
        } else {
            ::curl_easy_setopt(m_curl, CURLOPT_HTTPGET, 1L);
            ::curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, method);
        }
        if (::curl_easy_perform(m_curl) != CURLE_OK) {
            return 0;
        }
        long status = 0;
        ::curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &status);
        return status;
    }

    CURL* m_curl;
    std::string m_body;
};

struct LoadResult
{
    long done = 0;
    long failed = 0;
    double seconds = 0;
    std::vector<double> latenciesMs;
    double serverCpuSeconds = -1; // negative: not measured
};

// `clients` threads each repeat `step` (true when it succeeded) until the time is up.
// `serverCpu`, when given, tells the processor time the measured servers have used so far.
LoadResult RunLoad(int clients, double seconds, const std::function<bool(Client&)>& step,
                   const std::function<double()>& serverCpu = {})
{
    const double cpuBefore = serverCpu ? serverCpu() : -1;
    std::vector<std::vector<double>> latencies(clients);
    std::vector<long> done(clients, 0);
    std::vector<long> failed(clients, 0);
    std::atomic<bool> stop { false };
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            Client client;
            while (!stop.load()) {
                const auto begin = Clock::now();
                const bool ok = step(client);
                const auto end = Clock::now();
                if (ok) {
                    ++done[i];
                    latencies[i].push_back(std::chrono::duration<double, std::milli>(end - begin).count());
                } else {
                    ++failed[i];
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    LoadResult result;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (serverCpu && cpuBefore >= 0) {
        const double cpuAfter = serverCpu();
        result.serverCpuSeconds = cpuAfter >= 0 ? cpuAfter - cpuBefore : -1;
    }
    for (int i = 0; i < clients; ++i) {
        result.done += done[i];
        result.failed += failed[i];
        result.latenciesMs.insert(result.latenciesMs.end(), latencies[i].begin(), latencies[i].end());
    }
    std::sort(result.latenciesMs.begin(), result.latenciesMs.end());
    return result;
}

double Percentile(const std::vector<double>& sorted, double fraction)
{
    if (sorted.empty()) {
        return 0;
    }
    const std::size_t index = std::min(sorted.size() - 1, static_cast<std::size_t>(fraction * sorted.size()));
    return sorted[index];
}

void PrintRow(const std::string& load, int clients, const LoadResult& result, int requestsPerStep)
{
    const long requests = result.done * requestsPerStep;
    char cpu[32] = "-";
    if (result.serverCpuSeconds >= 0 && requests > 0) {
        std::snprintf(cpu, sizeof cpu, "%.3f", result.serverCpuSeconds * 1000 / static_cast<double>(requests));
    }
    std::printf("%-46s %7d %9ld %8ld %10.1f %9.1f %9.1f %9.1f %10s\n", load.c_str(), clients, result.done,
                result.failed, static_cast<double>(requests) / result.seconds, Percentile(result.latenciesMs, 0.5),
                Percentile(result.latenciesMs, 0.9), Percentile(result.latenciesMs, 0.99), cpu);
    std::fflush(stdout);
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw std::runtime_error(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--seconds") {
            options.seconds = std::stod(value());
        } else if (arg == "--clients") {
            options.clients.clear();
            std::stringstream list(value());
            for (std::string item; std::getline(list, item, ',');) {
                options.clients.push_back(std::stoi(item));
            }
        } else if (arg == "--label") {
            options.label = value();
        } else if (arg == "--server") {
            options.server = fs::absolute(value()).string();
            if (::access(options.server.c_str(), X_OK) != 0) {
                throw std::runtime_error("--server " + options.server + ": not an executable program");
            }
        } else if (arg == "--server-arg") {
            options.serverArgs.push_back(value());
        } else if (arg == "--postgres") {
            options.postgres = true;
        } else if (arg == "--no-nginx") {
            options.nginx = false;
        } else if (arg == "--keep") {
            options.keep = value();
        } else {
            throw std::runtime_error("unknown argument " + arg);
        }
    }
    return options;
}

std::string MakeWorkFolder(const Options& options)
{
    if (!options.keep.empty()) {
        fs::create_directories(options.keep);
        return fs::absolute(options.keep).string();
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/whserverload-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot make a work folder");
    }
    return pattern;
}

std::string NginxConfig(const std::string& work, int port, const std::string& cert, const std::string& key)
{
    std::ostringstream conf;
    // As root nginx's workers would become nobody, who cannot read the private work folder.
    if (::geteuid() == 0) {
        conf << "user root;\n";
    }
    conf << "worker_processes auto;\n"
         << "pid " << work << "/nginx.pid;\n"
         << "error_log " << work << "/nginx-error.log;\n"
         << "events { worker_connections 1024; }\n"
         << "http {\n"
         << "  access_log off;\n"
         << "  client_body_temp_path " << work << "/nginx-body;\n"
         << "  proxy_temp_path " << work << "/nginx-proxy;\n"
         << "  fastcgi_temp_path " << work << "/nginx-fastcgi;\n"
         << "  uwsgi_temp_path " << work << "/nginx-uwsgi;\n"
         << "  scgi_temp_path " << work << "/nginx-scgi;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << port << " ssl;\n"
         << "    ssl_certificate " << cert << ";\n"
         << "    ssl_certificate_key " << key << ";\n"
         << "    root " << work << "/static;\n"
         << "  }\n"
         << "}\n";
    return conf.str();
}

// The cluster tests/server/with_postgres.sh started for this run.
std::string PostgresHost()
{
    const char* host = std::getenv("WH_TEST_POSTGRES_HOST");
    if (!host || !*host) {
        throw std::runtime_error("--postgres: no cluster (run under tests/server/with_postgres.sh)");
    }
    return host;
}

// Both loads against `servers` warehouse-server processes over one store and one data folder.
void MeasureStore(const Options& options, const std::string& label, const std::vector<std::string>& storeArgs,
                  const std::string& data, const std::string& archive, int servers, const std::string& work)
{
    const std::string logs = work + "/" + fs::path(data).filename().string();
    std::vector<std::string> addUser { options.server, "--data", data };
    addUser.insert(addUser.end(), storeArgs.begin(), storeArgs.end());
    for (const char* arg :
         { "add-user", "--company", kCompany, "--user", kUser, "--password", kPassword, "--company-id", "1",
           "--region-id", "2", "--office-id", "3", "--department-id", "4", "--user-id", "5" }) {
        addUser.emplace_back(arg);
    }
    if (RunToEnd(addUser, logs + "-add-user.log") != 0) {
        throw std::runtime_error("add-user failed: see " + logs + "-add-user.log");
    }
    std::vector<std::unique_ptr<BenchChild>> running;
    std::vector<std::string> bases;
    for (int i = 0; i < servers; ++i) {
        // The clients all come from loopback, as many as the largest load.
        std::vector<std::string> serve {
            options.server,      "--data", data, "--listen", "127.0.0.1:0", "--max-connections-per-address", "1024",
            "--max-connections", "2048"
        };
        serve.insert(serve.end(), storeArgs.begin(), storeArgs.end());
        const std::string log = logs + "-server" + std::to_string(i + 1) + ".log";
        running.push_back(std::make_unique<BenchChild>(serve, log));
        // The server prints other lines first (its certificate's fingerprint); the address comes
        // once it listens. A first start makes a certificate, which takes a moment on a busy machine.
        const std::string prefix = "listening on ";
        const std::string line = running.back()->WaitForLine(prefix, std::chrono::seconds(60));
        if (line.empty()) {
            throw std::runtime_error("warehouse-server " + options.server + " did not start within 60 s: see " + log);
        }
        bases.push_back(line.substr(prefix.size()));
    }
    std::printf("\nwarehouse-server (%s) at %s%s; %.0f s per load; latency of one step in ms\n", label.c_str(),
                bases.front().c_str(), servers > 1 ? " and more" : "", options.seconds);
    std::printf("%-46s %7s %9s %8s %10s %9s %9s %9s %10s\n", "load", "clients", "steps", "failed", "requests/s", "p50",
                "p90", "p99", "cpu ms/req");

    // The servers' own processor time per request: a figure that the machine's other work changes
    // far less than the rates, so that builds measured on a busy machine can still be compared.
    const auto serverCpu = [&running] {
        double sum = 0;
        for (const auto& server : running) {
            const double used = wh::bench::CpuSeconds(server->Pid());
            if (used < 0) {
                return -1.0;
            }
            sum += used;
        }
        return sum;
    };
    std::atomic<unsigned> turn { 0 };
    const auto next = [&] { return bases[turn++ % bases.size()]; };
    const auto signInAndList = [&next](Client& client) {
        const std::string base = next();
        return client.Get(base + "/api/status") == 200 && client.Get(base + "/api/claims/") == 200;
    };
    for (const int clients : options.clients) {
        PrintRow("sign-in + claim list (" + label + ")", clients,
                 RunLoad(clients, options.seconds, signInAndList, serverCpu), 2);
    }
    const auto upload = [&next, &archive](Client& client) {
        const std::string base = next();
        if (client.Post(base + "/api/sequences/claims", "") != 200) {
            return false;
        }
        const std::string id = client.Body();
        return client.Put(next() + "/api/claims/" + id + ".kvz", archive) == 200;
    };
    for (const int clients : options.clients) {
        PrintRow("1 MB archive upload (" + label + ")", clients, RunLoad(clients, options.seconds, upload, serverCpu),
                 2);
    }
    for (auto& server : running) {
        server->Stop();
    }
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const Options options = ParseOptions(argc, argv);
        if (options.postgres && !std::getenv("WH_TEST_POSTGRES_HOST")) {
            // The cluster lives as long as this run: run again beside one.
            std::vector<char*> again { const_cast<char*>(WH_WITH_POSTGRES) };
            again.insert(again.end(), argv, argv + argc);
            again.push_back(nullptr);
            ::execv(WH_WITH_POSTGRES, again.data());
            throw std::runtime_error(std::string("cannot run ") + WH_WITH_POSTGRES + ": " + std::strerror(errno));
        }
        ::curl_global_init(CURL_GLOBAL_DEFAULT);
        const std::string work = MakeWorkFolder(options);
        const std::string data = work + "/server";

        const std::string archive = MakeArchive(kArchiveBytes);
        MeasureStore(options, options.label, options.serverArgs, data, archive, 1, work);
        if (options.postgres) {
            const std::string host = PostgresHost();
            const std::vector<std::string> database { "--database", "postgresql:///bench?host=" + host + "&user=wh" };
            for (const int servers : { 1, 2 }) {
                const std::string label = servers == 1 ? "PostgreSQL" : "PostgreSQL, 2 servers";
                const std::string folder = work + "/server-pg" + std::to_string(servers);
                if (RunToEnd({ "/usr/bin/psql", "-qX", "host=" + host + " user=wh dbname=postgres", "-c",
                               "DROP DATABASE IF EXISTS bench" },
                             work + "/psql.log")
                        != 0
                    || RunToEnd({ "/usr/bin/psql", "-qX", "host=" + host + " user=wh dbname=postgres", "-c",
                                  "CREATE DATABASE bench" },
                                work + "/psql.log")
                        != 0) {
                    throw std::runtime_error("cannot make the bench database: see " + work + "/psql.log");
                }
                MeasureStore(options, label, database, folder, archive, servers, work);
            }
        }

        const char* nginxProgram = "/usr/sbin/nginx";
        if (options.nginx && !fs::exists(nginxProgram)) {
            std::printf("nginx is not installed (Debian: nginx-light): no ceiling measured\n");
        } else if (options.nginx) {
            fs::create_directories(work + "/static");
            std::ofstream(work + "/static/archive.kvz", std::ios::binary) << archive;
            const int port = FreeLoopbackPort();
            std::ofstream(work + "/nginx.conf") << NginxConfig(work, port, data + "/server.crt", data + "/server.key");
            BenchChild nginx({ nginxProgram, "-p", work, "-c", work + "/nginx.conf", "-g", "daemon off;" },
                             work + "/nginx.log");
            const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/archive.kvz";
            bool up = false;
            for (int i = 0; i < 100 && !up; ++i) {
                Client probe;
                up = probe.Get(url) == 200;
                if (!up) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
            if (!up) {
                throw std::runtime_error("nginx did not serve: see " + work + "/nginx-error.log");
            }
            const auto fetch = [&url](Client& client) { return client.Get(url) == 200; };
            for (const int clients : options.clients) {
                PrintRow("static 1 MB GET (nginx, ceiling)", clients, RunLoad(clients, options.seconds, fetch), 1);
            }
        }
        if (options.keep.empty()) {
            fs::remove_all(work);
        }
        ::curl_global_cleanup();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "server_load: %s\n", error.what());
        return 1;
    }
}
