// Start-up of the tool against the toolkit's floor: from process start to the
// first paint of the dialog, and to the end of the process when the dialog is
// closed at once, with the peak resident memory, on the offscreen platform
// and on an X server; the tool and the same dialog written directly in Qt
// Widgets, in turn, with the ratio of their medians.
//
//   bench_startup PROBE REFERENCE [RUNS]
//
// PROBE is tavrik-startup-probe (the tool with a paint probe), REFERENCE
// tavrik-startup-reference. Each platform gets one warm-up run of each and
// then RUNS measured runs of each (default 15).
#include "bench/bench_util.h"
#include "bench/platforms.h"

#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct Run
{
    bool ok = false;
    double mainMs = 0;   // process start to main()
    double appMs = 0;    // to the toolkit's application object
    double paintMs = 0;
    double exitMs = 0;
    double peakRssMb = 0;
};

Run LaunchOnce(const char* pszProbe, const std::vector<std::string>& env)
{
    Run run;
    int fds[2];
    if (pipe(fds) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);

    std::vector<char*> envp;
    for (const std::string& s : env)
        envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(pszProbe), nullptr};

    const std::int64_t t0 = bench::NowNs();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, pszProbe, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return run;
    }
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const std::int64_t tExit = bench::NowNs();

    long long stamps[3] = {};
    const char* const keys[3] = {"main ", "app ", "painted "};
    for (int i = 0; i < 3; ++i) {
        const std::size_t at = out.find(keys[i]);
        if (at == std::string::npos || std::sscanf(out.c_str() + at + std::strlen(keys[i]), "%lld", &stamps[i]) != 1)
            return run;
    }
    const long long painted = stamps[2];
    run.mainMs = static_cast<double>(stamps[0] - t0) / 1e6;
    run.appMs = static_cast<double>(stamps[1] - t0) / 1e6;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.paintMs = static_cast<double>(painted - t0) / 1e6;
    run.exitMs = static_cast<double>(tExit - t0) / 1e6;
    run.peakRssMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return run;
}

// The figures of one program over its runs.
struct Series
{
    std::vector<double> mainTimes, appTimes, paint, exitTimes, rss;
    int failed = 0;

    void Add(const Run& run)
    {
        if (!run.ok) {
            ++failed;
            return;
        }
        mainTimes.push_back(run.mainMs);
        appTimes.push_back(run.appMs);
        paint.push_back(run.paintMs);
        exitTimes.push_back(run.exitMs);
        rss.push_back(run.peakRssMb);
    }

    void Print(const char* pszLabel, const char* pszWhat) const
    {
        std::printf("%-10s %-9s runs %2zu  first paint median %6.1f ms (min %6.1f, max %6.1f)  "
                    "exit median %6.1f ms (min %6.1f, max %6.1f)  peak RSS median %5.1f MB (max %5.1f)%s\n",
                    pszLabel, pszWhat, paint.size(), bench::Median(paint), bench::Quantile(paint, 0),
                    bench::Quantile(paint, 1), bench::Median(exitTimes), bench::Quantile(exitTimes, 0),
                    bench::Quantile(exitTimes, 1), bench::Median(rss), bench::Quantile(rss, 1),
                    failed ? "  SOME RUNS FAILED" : "");
        std::printf("%-10s %-9s medians: main() at %.1f ms, application object at %.1f ms, dialog painted %.1f ms "
                    "later\n",
                    "", "", bench::Median(mainTimes), bench::Median(appTimes),
                    bench::Median(paint) - bench::Median(appTimes));
    }
};

// The tool and the reference in turn (which goes first alternates), so that
// both see the same machine.
void Measure(const char* pszLabel, const char* pszProbe, const char* pszReference, const std::vector<std::string>& env,
             int runs)
{
    LaunchOnce(pszProbe, env);   // warm-up: page cache, font cache
    LaunchOnce(pszReference, env);
    Series tool, reference;
    for (int i = 0; i < runs; ++i) {
        if (i % 2 == 0) {
            tool.Add(LaunchOnce(pszProbe, env));
            reference.Add(LaunchOnce(pszReference, env));
        } else {
            reference.Add(LaunchOnce(pszReference, env));
            tool.Add(LaunchOnce(pszProbe, env));
        }
    }
    tool.Print(pszLabel, "tool");
    reference.Print(pszLabel, "reference");
    const double toolPaint = bench::Median(tool.paint), referencePaint = bench::Median(reference.paint);
    const double toolRss = bench::Median(tool.rss), referenceRss = bench::Median(reference.rss);
    std::printf("%-10s tool/reference: first paint %.3f (%+.1f ms), peak RSS %.3f (%+.1f MB)\n", pszLabel,
                referencePaint > 0 ? toolPaint / referencePaint : 0.0, toolPaint - referencePaint,
                referenceRss > 0 ? toolRss / referenceRss : 0.0, toolRss - referenceRss);
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PROBE REFERENCE [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 15;
    bench::PrintMachine();
    std::printf("start-up to first paint and to exit (dialog closed at once), %d runs each, the tool and the same "
                "dialog written directly in Qt Widgets (reference) in turn\n",
                runs);

    bench::OnEachPlatform([&](const char* pszLabel, const std::vector<std::string>& env) {
        Measure(pszLabel, argv[1], argv[2], env, runs);
    });
    return 0;
}
