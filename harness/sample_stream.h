#ifndef HARNESS_SAMPLE_STREAM_H
#define HARNESS_SAMPLE_STREAM_H

#include <cstdio>

#include "harness/recording_reader.h"
#include "tumblix/raw_sample.h"

enum class RecordingFormat { kDevice, kKFall };

// A recording's line buffer: lines of up to 2047 characters come whole,
// longer ones in pieces.
constexpr size_t kRecordingLineBufferSize = 2048;

// Lines at the start of a device recording that are skipped unread.
constexpr int kDeviceHeaderLines = 6;

// Read buffer of a recording: a trial of a few hundred kilobytes comes in a
// handful of reads instead of one per file-system block.
constexpr size_t kRecordingStreamBuffer = 1 << 16;

// Reads an open recording line by line into `line` (line_size bytes; longer
// lines arrive in pieces) and calls on_sample with every sample the detector
// is to see, in file order: every data line of a device recording after its
// first six lines, every second data line of a KFall trial. `sample` is
// overwritten in place, so nothing is allocated per sample. The recording
// must not have been read from yet (its buffer is set here).
template <class OnSample>
void ForEachRecordedSample(FILE* recording, RecordingFormat format, char* line, int line_size,
                           RawSample* sample, OnSample&& on_sample) {
  std::setvbuf(recording, nullptr, _IOFBF, kRecordingStreamBuffer);
  if (format == RecordingFormat::kDevice) {
    for (int skipped = 0; skipped < kDeviceHeaderLines; ++skipped) {
      if (std::fgets(line, line_size, recording) == nullptr) return;
    }
  }
  int data_line_count = 0;
  while (std::fgets(line, line_size, recording) != nullptr) {
    if (!IsDataLine(line)) continue;
    if (format == RecordingFormat::kKFall) {
      const bool odd = (data_line_count % 2) != 0;
      data_line_count += 1;
      if (odd) continue;
      ParseKFallLine(line, sample);
    } else {
      ParseDeviceLine(line, sample);
    }
    on_sample(*sample);
  }
}

#endif
