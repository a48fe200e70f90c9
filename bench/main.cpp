// kwbench: every benchmark of bench/, with Google Benchmark's usual flags. After the runs it
// prints the headline figure: for each bulk round trip that both drivers ran, kwdrv's time
// divided by the pass-through driver's. Exits 1 when a benchmark failed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) ++failures_;
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            std::string name = run.benchmark_name();
            for (const char* driver : {"kwdrv", "passthrough"}) {
                std::string prefix = std::string("bulk_round_trip/") + driver + "/";
                if (name.rfind(prefix, 0) == 0) {
                    Times& t = times_[name.substr(prefix.size())][driver];
                    t.real = run.GetAdjustedRealTime();
                    t.cpu = run.GetAdjustedCPUTime();
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        bool heading = false;
        for (const auto& [args, t] : times_) {
            auto k = t.find("kwdrv"), p = t.find("passthrough");
            if (k == t.end() || p == t.end() || p->second.real <= 0 || p->second.cpu <= 0) continue;
            if (!heading) std::printf("\nkwdrv / pass-through, bulk round trip      real time   CPU time\n");
            heading = true;
            std::printf("  %-38s %9.3f %10.3f\n", args.c_str(), k->second.real / p->second.real,
                        k->second.cpu / p->second.cpu);
        }
    }

    int Failures() const { return failures_; }

private:
    int failures_ = 0;
    struct Times {
        double real = 0;
        double cpu = 0;
    };
    std::map<std::string, std::map<std::string, Times>> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.Failures() == 0 ? 0 : 1;
}
