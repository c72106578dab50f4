// Image pane costs on the largest study the store holds, 16 gates of 64
// frames: drawing one gate's strip, a new study (what a load adds), painting
// the montage, and one cine step with the gate not yet drawn.
//   QT_QPA_PLATFORM=offscreen build-bench/pane_bench
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QSlider>
#include <algorithm>
#include <random>

#include "app/image_pane.h"
#include "model/study.h"

namespace {

void FillLargestStudy(Study& study) {
  std::mt19937 random(1);
  std::uniform_int_distribution<int> counts(0, 900);
  std::generate(study.frames.begin(), study.frames.end(),
                [&] { return static_cast<std::int16_t>(counts(random)); });
  study.record.gateCount = kStoreGates;
  study.record.frameCount = kStoreFramesPerGate;
  study.record.matrixSize = 128;
  study.record.maxCount = 900;
}

void RenderStrip(benchmark::State& state) {
  Study study;
  FillLargestStudy(study);
  int gate = 0;
  for (auto _ : state) {
    QImage strip =
        RenderGateStrip(study.frames, gate, kStoreFramesPerGate, true, study.record.maxCount);
    benchmark::DoNotOptimize(strip.constBits());
    gate = (gate + 1) % kStoreGates;
  }
}

void NewStudy(benchmark::State& state) {
  Study study;
  FillLargestStudy(study);
  ImagePane pane(study, nullptr);
  pane.resize(560, 252);
  for (auto _ : state) pane.ShowStudy(true);
}

void PaintMontage(benchmark::State& state) {
  Study study;
  FillLargestStudy(study);
  ImagePane pane(study, nullptr);
  pane.resize(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  pane.ShowStudy(true);
  QImage target(pane.montage->size(), QImage::Format_RGB32);
  for (auto _ : state) pane.montage->render(&target);
}

// What each cine tick costs at most: a gate drawn for the first time and
// painted. The cine asks for one every 100 ms.
void CineStep(benchmark::State& state) {
  Study study;
  FillLargestStudy(study);
  ImagePane pane(study, nullptr);
  pane.resize(1000, 600);
  QImage target(pane.montage->size(), QImage::Format_RGB32);
  int gate = 0;
  for (auto _ : state) {
    if (gate == 0) {
      state.PauseTiming();
      pane.ShowStudy(true);  // forget the drawn gates
      state.ResumeTiming();
    }
    gate = (gate + 1) % kStoreGates;
    pane.gateSlider->setValue(gate);
    pane.montage->render(&target);
  }
}

}  // namespace

BENCHMARK(RenderStrip)->Unit(benchmark::kMicrosecond);
BENCHMARK(NewStudy)->Unit(benchmark::kMicrosecond);
BENCHMARK(PaintMontage)->Args({560, 252})->Args({1000, 600})->Unit(benchmark::kMicrosecond);
BENCHMARK(CineStep)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
