#ifndef TOOLS_GEN_DATASET_DATASET_WRITER_H
#define TOOLS_GEN_DATASET_DATASET_WRITER_H

#include <string>
#include <vector>

#include "tools/gen_dataset/sensor_model.h"

// One generated trial with its labels: onset and impact are sample indexes
// at 100 per second (0 and 0 for daily activities), as in the label files.
struct GeneratedTrial {
  int subject = 1;
  int task = 1;
  int trial = 1;
  int onset_frame = 0;
  int impact_frame = 0;
  std::vector<SensorSample> samples;
};

std::string SubjectFolderName(int subject);                // SA01
std::string TaskCode(int subject, int task);                // S01T20
std::string RecordingName(int subject, int task, int trial);  // S01T20R01.csv

// Each writer returns false with a reason in *error when the file cannot be
// written completely.
bool WriteKFallRecording(const std::string& path, const GeneratedTrial& trial, std::string* error);
bool WriteDeviceRecording(const std::string& path, const GeneratedTrial& trial, std::string* error);

// A label file in the harness's layout: its header, then one row per trial
// in the given order, "S01T20,"<description>",1,241,300".
bool WriteLabelFile(const std::string& path, const std::vector<const GeneratedTrial*>& trials,
                    std::string* error);

#endif
