// Spool throughput and peak memory of upgrade.cgi for multipart uploads of 1,
// 64 and 256 MiB, side by side in one run with cat into a file, python-multipart
// and busboy, then the crafted bodies that make a naive delimiter scan cost
// body size times boundary length, as a multiple of a typical upload's cost.
// `make bench` installs the yardsticks; a missing one is reported, not fatal.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <string>
#include <csignal>
#include <sys/sendfile.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/host/nor_chip.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr size_t MiB = 1024 * 1024;
constexpr int kRuns = 5;

struct Run {
    double seconds = 0;
    long rssKiB = 0;
    bool ok = false;  // exit status 0
    int exitStatus = -1;
};

// Runs argv with extra environment entries and standard output into a file;
// the time from spawn to exit and the peak RSS. Standard input is the file
// `in` fed through a pipe, as a web server hands a CGI program its body, or
// with fromFile the file itself.
Run runOnce(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& in, const std::string& out, bool fromFile = false)
{
    std::vector<std::string> envText(env);
    for (char** e = environ; *e != nullptr; ++e)
        envText.push_back(*e);  // earlier entries win
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : envText)
        envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    int feed[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (fromFile || pipe(feed) != 0) {
        posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&fa, feed[0], 0);
        posix_spawn_file_actions_addclose(&fa, feed[0]);
        posix_spawn_file_actions_addclose(&fa, feed[1]);
    }
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Run r;
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const bool spawned = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data()) == 0;
    std::thread feeder;
    if (feed[0] >= 0) {
        close(feed[0]);
        // In the kernel, so that feeding costs the machine little; a program
        // that stops reading ends it (EPIPE).
        feeder = std::thread([&] {
            int fd = open(in.c_str(), O_RDONLY);
            while (spawned && sendfile(feed[1], fd, nullptr, MiB) > 0) {
            }
            close(fd);
            close(feed[1]);
        });
    }
    if (spawned) {
        // The child's ru_maxrss would count this process's pages, which the
        // child shares until exec: read its own high-water mark instead, the
        // last one seen after the exec (its name is then the program's).
        const std::string statusPath = "/proc/" + std::to_string(pid) + "/status";
        const std::string name = fs::path(argv[0]).filename().string().substr(0, 15);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (FILE* f = std::fopen(statusPath.c_str(), "r")) {
                char line[256];
                bool exec = false;
                while (std::fgets(line, sizeof line, f) != nullptr) {
                    if (std::strncmp(line, "Name:", 5) == 0)
                        exec = name == std::string(line + 6, std::strcspn(line + 6, "\n"));
                    else if (exec && std::strncmp(line, "VmHWM:", 6) == 0)
                        r.rssKiB = std::atol(line + 6);
                }
                std::fclose(f);
            }
            usleep(500);
        }
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        r.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.ok = r.exitStatus == 0;
    }
    if (feeder.joinable())
        feeder.join();
    posix_spawn_file_actions_destroy(&fa);
    return r;
}

// Fills a file with n bytes from fill(offset, buffer, count), 1 MiB a write.
void append(FILE* f, size_t n, const std::function<void(size_t, unsigned char*, size_t)>& fill)
{
    std::vector<unsigned char> buf(MiB);
    for (size_t done = 0; done < n;) {
        size_t k = std::min(MiB, n - done);
        fill(done, buf.data(), k);
        std::fwrite(buf.data(), 1, k, f);
        done += k;
    }
}

auto randomBytes()
{
    return [x = uint64_t{0x9E3779B97F4A7C15}](size_t, unsigned char* p, size_t n) mutable {
        for (size_t i = 0; i < n; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            p[i] = static_cast<unsigned char>(x >> 24);
        }
    };
}

auto repeated(std::string pattern)
{
    return [pattern](size_t offset, unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            p[i] = static_cast<unsigned char>(pattern[(offset + i) % pattern.size()]);
    };
}

using Fill = std::function<void(size_t, unsigned char*, size_t)>;

struct Body {
    std::string path;
    std::string boundary;
    size_t size = 0;
};

// A preamble, one file part "Filedata" with the payload, the closing delimiter.
Body writeBody(const std::string& path, const std::string& boundary, size_t preamble,
               const Fill& preambleFill, size_t payload, const Fill& payloadFill)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    append(f, preamble, preambleFill);
    std::string head = "--" + boundary +
                       "\r\nContent-Disposition: form-data; name=\"Filedata\"; "
                       "filename=\"bench.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    std::fputs(head.c_str(), f);
    append(f, payload, payloadFill);
    std::string tail = "\r\n--" + boundary + "--\r\n";
    std::fputs(tail.c_str(), f);
    std::fclose(f);
    return {path, boundary, preamble + head.size() + payload + tail.size()};
}

struct Program {
    const char* name;
    bool available;
    std::function<Run(const Body&)> run;
};

// The fastest of kRuns runs, with the highest peak RSS and the last status.
Run best(const std::function<Run()>& once, const std::function<void()>& clean)
{
    Run b;
    for (int i = 0; i < kRuns; ++i) {
        clean();
        Run r = once();
        b.seconds = i == 0 ? r.seconds : std::min(b.seconds, r.seconds);
        b.rssKiB = std::max(b.rssKiB, r.rssKiB);
        b.ok = r.ok;
        b.exitStatus = r.exitStatus;
    }
    clean();
    return b;
}

double mbps(const Body& b, const Run& r)
{
    return b.size / 1e6 / r.seconds;
}

// Peak RSS in MiB; a program that ended before its first sample shows "-".
std::string rss(const Run& r)
{
    char text[32] = "-";
    if (r.rssKiB > 0)
        std::snprintf(text, sizeof text, "%.1f", r.rssKiB / 1024.0);
    return text;
}

}  // namespace

int main()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::string work = (fs::temp_directory_path() / "quibbench-XXXXXX").string();
    if (mkdtemp(work.data()) == nullptr || norsim::createErasedChip(work.c_str(), 0x93) != 0) {
        std::perror("bench_multipart: root");
        return 1;
    }
    fs::create_directories(work + "/tmp");
    const std::string out = work + "/out";
    const std::string bin = QUIB_BUILD_DIR "/bin/upgrade.cgi";
    const std::string src = QUIB_SOURCE_DIR "/bench/";
    const std::string nodePath = QUIB_BUILD_DIR "/bench-node/node_modules";
    auto cleanOut = [&] {
        fs::remove_all(out);
        fs::create_directories(out);
    };
    cleanOut();
    const std::string devNull = "/dev/null";

    auto cgiRun = [&](const std::string& body, const std::string& type,
                      const std::string& length) {
        return runOnce({bin},
                       {"INSTRUMENT_ROOT=" + work, "REQUEST_METHOD=POST", "CONTENT_TYPE=" + type,
                        "CONTENT_LENGTH=" + length, "QUERY_STRING=udp_port=1&url=../index.html"},
                       body, out + "/page");
    };
    auto cgi = [&](const Body& b) {
        return cgiRun(b.path, "multipart/form-data;boundary=" + b.boundary, std::to_string(b.size));
    };
    const bool hasPython = runOnce({"/usr/bin/python3", "-c", "import multipart.multipart"}, {},
                                   devNull, devNull).ok;
    const bool hasBusboy = fs::exists(nodePath + "/busboy");
    const Program programs[] = {
        {"cat > file", true,
         [&](const Body& b) { return runOnce({"cat"}, {}, b.path, out + "/cat"); }},
        {"cat, file to file", true,
         [&](const Body& b) { return runOnce({"cat"}, {}, b.path, out + "/cat", true); }},
        {"upgrade.cgi", true, cgi},
        {"python-multipart", hasPython,
         [&](const Body& b) {
             return runOnce({"/usr/bin/python3", src + "yardstick_multipart.py", b.boundary, out},
                            {}, b.path, devNull);
         }},
        {"busboy", hasBusboy,
         [&](const Body& b) {
             return runOnce({"node", src + "yardstick_busboy.js", b.boundary, out},
                            {"NODE_PATH=" + nodePath}, b.path, devNull);
         }},
    };

    std::printf("multipart upload spooled to a file: best of %d runs; the body reaches standard "
                "input through a pipe,\nas from a web server (cat, file to file: from the file "
                "itself, which cat copies in the kernel)\n",
                kRuns);
    std::printf("%-8s %-18s %10s %14s %10s\n", "upload", "program", "MB/s", "peak RSS MiB",
                "x cat");
    const std::string boundary = "----QuibBench7MA4YWxkTrZu0gW";
    double typical64 = 0;
    for (size_t mib : {size_t{1}, size_t{64}, size_t{256}}) {
        Body b = writeBody(work + "/body", boundary, 0, randomBytes(), mib * MiB, randomBytes());
        const std::string size = std::to_string(mib) + " MiB";
        double catRate = 0;
        for (const Program& p : programs) {
            Run r;
            if (p.available)
                r = best([&] { return p.run(b); }, cleanOut);
            if (!r.ok) {
                std::printf("%-8s %-18s %s\n", size.c_str(), p.name,
                            p.available ? "failed" : "not installed (make bench installs it)");
                continue;
            }
            if (&p == &programs[0])
                catRate = mbps(b, r);
            if (&p == &programs[2] && mib == 64)
                typical64 = r.seconds;
            std::printf("%-8s %-18s %10.0f %14s %10.2f\n", size.c_str(), p.name, mbps(b, r),
                        rss(r).c_str(), mbps(b, r) / catRate);
        }
        fs::remove(b.path);
    }

    // Each about 64 MiB; the cost is the run's time over the typical 64 MiB upload's.
    const std::string dashes200(200, '-');
    const std::string long994(994, 'a');
    struct Crafted {
        const char* what;
        std::string boundary;
        size_t preamble;
        Fill preambleFill;
        size_t payload;
        Fill payloadFill;
    };
    const Crafted crafted[] = {
        {"hyphen runs before a 200-hyphen boundary", dashes200, 64 * MiB,
         repeated(std::string(201, '-') + "\r\n"), 1024, randomBytes()},
        {"near-matches of a 994-character boundary", long994, 0, randomBytes(), 64 * MiB,
         repeated("\r\n--" + long994.substr(0, 993) + "b")},
        {"all CR, file data", boundary, 0, randomBytes(), 64 * MiB, repeated("\r")},
        {"all CR, preamble", boundary, 64 * MiB, repeated("\r"), 1024, randomBytes()},
        {"all hyphens, file data", boundary, 0, randomBytes(), 64 * MiB, repeated("-")},
        {"all hyphens, preamble", boundary, 64 * MiB, repeated("-"), 1024, randomBytes()},
    };
    std::printf("\ncrafted bodies of 64 MiB through upgrade.cgi (cost: time over the typical "
                "64 MiB upload's)\n");
    std::printf("%-44s %10s %14s %8s\n", "body", "MB/s", "peak RSS MiB", "cost");
    for (const Crafted& c : crafted) {
        Body b = writeBody(work + "/body", c.boundary, c.preamble, c.preambleFill, c.payload,
                           c.payloadFill);
        Run r = best([&] { return cgi(b); }, cleanOut);
        if (!r.ok)
            std::printf("%-44s failed\n", c.what);
        else
            std::printf("%-44s %10.0f %14s %7.2fx\n", c.what, mbps(b, r), rss(r).c_str(),
                        typical64 > 0 ? r.seconds / typical64 : 0.0);
        fs::remove(b.path);
    }

    // Requests built to make the program hold what they send; a refused
    // one ends with status 255 and no answer.
    auto tempFiles = [&] {
        size_t n = 0;
        for (const auto& e : fs::directory_iterator(work + "/tmp"))
            n += e.path().filename() != "upgrade.lock";
        return n;
    };
    struct Hostile {
        const char* what;
        std::string type;
        std::string body;  // written out before the run
        std::string length;  // empty: the body's size
    };
    std::string manyParts;
    for (int i = 0; i < 100000; ++i)
        manyParts += "--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"1.bin\"\r\n\r\n1\r\n";
    manyParts += "--" + boundary + "--\r\n";
    auto field = [&](size_t n) {
        return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\n" +
               std::string(n, 'v') + "\r\n--" + boundary + "--\r\n";
    };
    const std::string multipartType = "multipart/form-data;boundary=" + boundary;
    const std::string urlEncoded = "application/x-www-form-urlencoded";
    const Hostile hostile[] = {
        {"100,000 one-byte file parts", multipartType, manyParts, ""},
        {"64 MiB ordinary field", multipartType, field(64 * MiB), ""},
        {"64 MiB URL-encoded body", urlEncoded, "a=" + std::string(64 * MiB, 'x'), ""},
        {"2 GiB announced, URL-encoded", urlEncoded, "a=1", "2147483648"},
        {"2 GiB announced, multipart", multipartType, field(1), "2147483648"},
    };
    std::printf("\nhostile requests through upgrade.cgi\n");
    std::printf("%-32s %10s %14s %8s %12s\n", "request", "seconds", "peak RSS MiB", "status",
                "files left");
    for (const Hostile& h : hostile) {
        const std::string path = work + "/body";
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(h.body.data(), 1, h.body.size(), f);
        std::fclose(f);
        Run r = best([&] {
            return cgiRun(path, h.type, h.length.empty() ? std::to_string(h.body.size()) : h.length);
        }, cleanOut);
        std::printf("%-32s %10.3f %14s %8d %12zu\n", h.what, r.seconds, rss(r).c_str(),
                    r.exitStatus, tempFiles());
        fs::remove(path);
    }

    const size_t left = tempFiles();
    fs::remove_all(work);
    return left == 0 ? 0 : 1;
}
