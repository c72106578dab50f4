// Stage by stage: the header scan, the 128-to-64 binning, the whole load and
// the writer, on data held in memory (a tmpfs file or /dev/null), so that a
// regression in one stage is visible apart from disk speed.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/gated_loader.h"
#include "core/header_scan.h"
#include "core/operator_question.h"
#include "gsd/gsd_stream.h"
#include "model/study.h"

namespace {

// The study named by DGC_BENCH_STUDY, copied into a memory file.
const std::string& StudyPath() {
  static std::string path = [] {
    const char* source = std::getenv("DGC_BENCH_STUDY");
    if (source == nullptr) {
      std::fprintf(stderr, "set DGC_BENCH_STUDY to a DICOM study\n");
      std::exit(2);
    }
    std::ifstream in(source, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    int fd = ::memfd_create("bench-study", 0);
    std::string data = bytes.str();
    if (::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) std::exit(2);
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return path;
}

void HeaderScan(benchmark::State& state) {
  Study study;
  for (auto _ : state) {
    study.record = TStudyRecord{};
    LoadOptions options;
    LoadReport report;
    LoadSession session(study, options, report);
    benchmark::DoNotOptimize(ScanStudyHeader(StudyPath().c_str(), session));
  }
}

void Binning(benchmark::State& state) {
  std::vector<std::int16_t> source(128 * 128);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::int16_t>(i % 3000);
  std::vector<std::int16_t> dest(64 * 64);
  for (auto _ : state) {
    BinMatrix128To64(source.data(), dest.data());
    benchmark::DoNotOptimize(dest.data());
  }
  state.SetBytesProcessed(state.iterations() * 128 * 128 * 2);
}

void WholeLoad(benchmark::State& state) {
  Study study;
  LoadReport report;
  for (auto _ : state)
    benchmark::DoNotOptimize(LoadGatedStudy(StudyPath().c_str(), study, {}, report));
}

void Writer(benchmark::State& state) {
  Study study;
  LoadReport report;
  LoadGatedStudy(StudyPath().c_str(), study, {}, report);
  std::FILE* sink = std::fopen("/dev/null", "wb");
  for (auto _ : state) benchmark::DoNotOptimize(WriteGsdStream(sink, study, true));
  std::fclose(sink);
  int gates = study.record.gateCount > 1 ? study.record.gateCount : 1;
  state.SetBytesProcessed(state.iterations() * gates * study.record.frameCount * 8192);
}

BENCHMARK(HeaderScan)->Unit(benchmark::kMicrosecond);
BENCHMARK(Binning)->Unit(benchmark::kMicrosecond);
BENCHMARK(WholeLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(Writer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
