// What the benchmark programs share: their options, their figures and their error texts.
#pragma once

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <sys/resource.h>

// Reads "--name value" pairs into Options; false (after printing Usage) when one of Required
// is missing.
inline bool ParseOptions(int Argc, char** Argv, std::initializer_list<const char*> Required,
                         const char* Usage, std::map<std::string, std::string>& Options) {
    for (int i = 1; i + 1 < Argc; i += 2)
        Options[Argv[i]] = Argv[i + 1];
    for (const char* name : Required)
        if (!Options.count(name)) {
            std::fprintf(stderr, "usage: %s %s\n", Argv[0], Usage);
            return false;
        }
    return true;
}

// Processor time (user + system) of the process so far, and its peak resident size.
inline double CpuSeconds(long& MaxRssKib) {
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    MaxRssKib = r.ru_maxrss;
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Times a stretch of a program from its construction to Report, which prints the harness's
// figure for it on standard error: "inloop n=<Count> wall_s=.. cpu_s=.. maxrss_kib=..".
class TInloopClock {
public:
    TInloopClock() : Cpu0(CpuSeconds(MaxRssKib)), Wall0(std::chrono::steady_clock::now()) {}
    void Report(long long Count) {
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - Wall0;
        const double cpu = CpuSeconds(MaxRssKib) - Cpu0;
        std::fprintf(stderr, "inloop n=%lld wall_s=%.6f cpu_s=%.6f maxrss_kib=%ld\n", Count,
                     wall.count(), cpu, MaxRssKib);
    }

private:
    long MaxRssKib = 0;
    double Cpu0;
    std::chrono::steady_clock::time_point Wall0;
};

// An error text without the line end a server's reply line brings along.
inline std::string Trimmed(std::string Text) {
    while (!Text.empty() && (Text.back() == '\r' || Text.back() == '\n'))
        Text.pop_back();
    return Text;
}
