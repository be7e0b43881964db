// tumblebench_gen: writes a synthetic data set of simulated recordings of a
// sensor worn at the low back, in the KFall layout the harness walks (or in
// the device's own format), so the whole evaluation can run without any
// downloaded data.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "harness/kfall_tasks.h"
#include "tools/gen_dataset/activity_scripts.h"
#include "tools/gen_dataset/body_disturbance.h"
#include "tools/gen_dataset/dataset_writer.h"
#include "tools/gen_dataset/gen_options.h"
#include "tools/gen_dataset/random_stream.h"
#include "tools/gen_dataset/sensor_model.h"
#include "tools/gen_dataset/subject_profile.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A clip never sits the same way twice: small per-trial changes of the mount.
Quat TrialMount(const SubjectProfile& subject, RandomStream* rng) {
  const double about_x = 1.5 * kRadPerDeg * Gaussian(rng);
  const double about_y = 1.5 * kRadPerDeg * Gaussian(rng);
  const double about_z = 1.0 * kRadPerDeg * Gaussian(rng);
  return subject.mount * AxisAngle({1, 0, 0}, about_x) * AxisAngle({0, 1, 0}, about_y) *
         AxisAngle({0, 0, 1}, about_z);
}

GeneratedTrial GenerateTrial(uint64_t seed, const SubjectProfile& subject, int task, int trial) {
  RandomStream rng = MakeRandomStream({seed, static_cast<uint64_t>(subject.number),
                                       static_cast<uint64_t>(task), static_cast<uint64_t>(trial)});
  BodyTrack track = SimulateTask(task, subject, &rng);
  AddMovementDisturbance(&track, &rng);
  AddPosturalSway(&track, &rng);
  const Quat mount = TrialMount(subject, &rng);
  GeneratedTrial out;
  out.subject = subject.number;
  out.task = task;
  out.trial = trial;
  out.samples = SimulateSensor(track, mount, &rng);
  if (track.onset_tick >= 0) {
    out.onset_frame = SampleOfTick(track.onset_tick);
    out.impact_frame = SampleOfTick(track.impact_tick);
  }
  return out;
}

struct SubjectFiles {
  fs::path folder;
  std::vector<fs::path> recordings;
  std::vector<fs::path> labels;
};

SubjectFiles PlanSubject(const GenOptions& options, int subject) {
  SubjectFiles files;
  const std::string name = SubjectFolderName(subject);
  files.folder = fs::path(options.out_dir) / name;
  for (int task : options.tasks) {
    for (int trial = 1; trial <= options.trials; ++trial) {
      files.recordings.push_back(files.folder / RecordingName(subject, task, trial));
    }
  }
  if (options.format == OutputFormat::kKFall) {
    for (const char* kind : {"_down.csv", "_adl.csv", "_all.csv"}) files.labels.push_back(files.folder / (name + kind));
  } else {
    files.labels.push_back(files.folder / (name + "_device.csv"));
  }
  return files;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "tumblebench_gen: %s\n", message.c_str());
  return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  GenOptions options;
  std::string error;
  if (!ParseGenOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "tumblebench_gen: %s\n", error.c_str());
    PrintGenUsage(stderr);
    return kExitUsage;
  }
  if (options.help) {
    PrintGenUsage(stdout);
    return 0;
  }

  std::vector<SubjectFiles> plan;
  for (int s = options.first_subject; s < options.first_subject + options.subjects; ++s) {
    plan.push_back(PlanSubject(options, s));
  }
  // Refuse before writing anything, so a mistyped --out cannot clobber half
  // of someone's data set.
  if (!options.overwrite) {
    int existing = 0;
    std::string first;
    for (const SubjectFiles& files : plan) {
      for (const auto* list : {&files.recordings, &files.labels}) {
        for (const fs::path& path : *list) {
          std::error_code ec;
          if (fs::exists(path, ec) || ec) {
            if (existing++ == 0) first = path.string();
          }
        }
      }
    }
    if (existing > 0) {
      return Fail(first + " exists" + (existing > 1 ? " (and " + std::to_string(existing - 1) + " more)" : "") +
                  "; nothing written. Use --overwrite to replace generated files.");
    }
  }

  int written = 0, falls = 0;
  for (size_t i = 0; i < plan.size(); ++i) {
    const SubjectFiles& files = plan[i];
    const int subject_number = options.first_subject + static_cast<int>(i);
    std::error_code ec;
    fs::create_directories(files.folder, ec);
    if (ec) return Fail(files.folder.string() + ": " + ec.message());

    const SubjectProfile subject = MakeSubjectProfile(options.seed, subject_number);
    std::vector<GeneratedTrial> labels;  // the trials without their samples
    size_t next = 0;
    for (int task : options.tasks) {
      for (int trial = 1; trial <= options.trials; ++trial) {
        GeneratedTrial generated = GenerateTrial(options.seed, subject, task, trial);
        const std::string path = files.recordings[next++].string();
        const bool ok = options.format == OutputFormat::kKFall ? WriteKFallRecording(path, generated, &error)
                                                              : WriteDeviceRecording(path, generated, &error);
        if (!ok) return Fail(error);
        generated.samples.clear();
        generated.samples.shrink_to_fit();
        labels.push_back(std::move(generated));
        ++written;
        if (IsFallTask(task)) ++falls;
      }
    }

    std::vector<const GeneratedTrial*> down, adl, all;
    for (const GeneratedTrial& t : labels) {
      (IsFallTask(t.task) ? down : adl).push_back(&t);
      all.push_back(&t);
    }
    if (options.format == OutputFormat::kKFall) {
      if (!WriteLabelFile(files.labels[0].string(), down, &error)) return Fail(error);
      if (!WriteLabelFile(files.labels[1].string(), adl, &error)) return Fail(error);
      if (!WriteLabelFile(files.labels[2].string(), all, &error)) return Fail(error);
    } else {
      if (!WriteLabelFile(files.labels[0].string(), all, &error)) return Fail(error);
    }
  }

  if (!options.quiet) {
    std::printf("tumblebench_gen: %d recordings (%d falls, %d daily activities) of %d subjects in %s\n", written,
                falls, written - falls, options.subjects, options.out_dir.c_str());
  }
  if (std::fflush(stdout) != 0) return kExitFailure;
  return 0;
}
