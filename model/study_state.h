// The study record, the frame geometry and the store's limits. A study in
// memory, record and frames together, is a Study value (model/study.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Fixed-layout study information. Text fields are NUL-terminated and their
// capacity counts the terminator.
struct TStudyRecord {
  char patientName[50];
  char patientId[40];
  char sex[2];
  float height;             // cm
  float weight;             // kg
  char studyDate[11];       // YYYY.MM.DD
  char studyTime[13];       // HH:MM:SS
  std::int32_t frameCount;  // frames per gate once loaded
  double pixelSize;         // mm per pixel, -1 when the file gives none
  double sliceThickness;    // mm, -1 when the file gives none
  std::int16_t matrixSize;  // pixels per acquired row
  std::int16_t heartRate;   // beats per minute, -1 when empty in the file
  std::int16_t gateCount;   // R-R divisions
  std::int16_t maxCount;    // highest count in the band of the loaded frames
  char tracer[20];
  char comment[80];
};

constexpr int kStoreGates = 16;
constexpr int kStoreFramesPerGate = 64;
constexpr int kFrameSide = 64;       // a GSD frame, and an acquired 64 x 64 one
constexpr int kWideFrameSide = 128;  // an acquired frame binned 2 x 2 to kFrameSide
constexpr int kFrameValues = kFrameSide * kFrameSide;  // 4096
constexpr std::size_t kStoreValues = std::size_t{kStoreGates} * kStoreFramesPerGate * kFrameValues;

// Index of the first value of frame f of gate g in a study's frame store
// (gate-major).
constexpr std::size_t FrameSlotIndex(int gate, int frame) {
  return (static_cast<std::size_t>(gate) * kStoreFramesPerGate + static_cast<std::size_t>(frame)) *
         kFrameValues;
}

// "at most 16 gates of 64 frames", for messages about the store's limits.
std::string StoreLimitText();

// Copies text into a fixed field, cut to the field's capacity and always
// NUL-terminated.
void CopyToField(char* field, std::size_t capacity, const char* text, std::size_t length);

template <std::size_t N>
void CopyToField(char (&field)[N], const std::string& text) {
  CopyToField(field, N, text.data(), text.size());
}
