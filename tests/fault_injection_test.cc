// Runs of the real program while the file system works against it: traces
// that cannot be created, disks that fill up, recordings and subject folders
// that vanish or may not be read, label converters that fail. Each case must
// be named on standard error, the run must go on to its report, and no trace
// or result may be cut short without a word.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::KFallRecording;
using test_support::ReadFile;
using test_support::ReadLines;
using test_support::RunCommand;
using test_support::TempDir;
using test_support::TumblebenchPath;
using test_support::WriteFile;

const char kHeader[] =
    "Task Code (Task ID),Description,Trial ID,Fall_onset_frame,Fall_impact_frame\n";

using test_support::RunResult;

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// Runs `command` (a shell command line) in dir with stderr kept apart.
RunResult RunShell(const fs::path& dir, const std::string& command) {
  TempDir err_dir;
  RunResult run;
  run.out = RunCommand("cd " + Quoted(dir.string()) + " && " + command + " 2>" + Quoted(err_dir.File("err")),
                       &run.status);
  run.err = ReadFile(err_dir.File("err"));
  return run;
}

RunResult RunTumblebench(const fs::path& dir, const std::string& args, const std::string& program = TumblebenchPath()) {
  return RunShell(dir, Quoted(program) + " " + args);
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A copy of the program in its own folder, with a stand-in converter beside
// it (the walk looks for kfall_label there first).
fs::path InstallWithConverter(const fs::path& dir, const std::string& converter_script) {
  const fs::path bin = dir / "bin";
  fs::create_directories(bin);
  fs::copy_file(TumblebenchPath(), bin / "tumblebench");
  WriteFile((bin / "kfall_label").string(), converter_script);
  fs::permissions(bin / "kfall_label", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                           fs::perms::others_read | fs::perms::others_exec);
  return bin / "tumblebench";
}

// --- Traces -----------------------------------------------------------------

TEST(FaultInjection, TracesThatCannotBeCreatedAreNamedAndTheRunGoesOn) {
  TempDir dir;
  WriteFile(dir.File("labels.csv"),
            std::string(kHeader) + "S01T06,walk,1,0,0\n,,2,0,0\n,,3,0,0\n");
  for (const char* name : {"S01T06R01.csv", "S01T06R02.csv", "S01T06R03.csv"}) {
    WriteFile(dir.File(name), KFallRecording(60));
  }
  fs::create_directory(dir.File("S01T06R01_DSV.csv"));  // a folder in the way
  fs::create_symlink(dir.File("missing/trace.csv"), dir.File("S01T06R02_DSV.csv"));  // a link, into nowhere

  const RunResult run = RunTumblebench(dir.path(), "labels.csv");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.err, "S01T06R01_DSV.csv, trace cannot be created (Is a directory); "
                                "the recording is not scored.")) << run.err;
  EXPECT_TRUE(Contains(run.err, "S01T06R02_DSV.csv, trace cannot be created (a symbolic link is in its place"))
      << run.err;
  EXPECT_FALSE(fs::exists(dir.File("missing")));
  EXPECT_FALSE(Contains(run.out, "result S01T06R01.csv")) << run.out;
  EXPECT_FALSE(Contains(run.out, "result S01T06R02.csv")) << run.out;
  EXPECT_TRUE(Contains(run.out, "result S01T06R03.csv : 06,")) << run.out;
  EXPECT_TRUE(Contains(run.out, "# ADL STAT: tn 1(100.00%), fp 0(0.00%)")) << run.out;
}

TEST(FaultInjection, SymbolicLinkInATracesPlaceIsNotFollowed) {
  TempDir dir;
  WriteFile(dir.File("S01T06R01.csv"), KFallRecording(60));
  WriteFile(dir.File("precious.txt"), "not a trace\n");
  fs::create_symlink(dir.File("precious.txt"), dir.File("S01T06R01_DSV.csv"));
  const RunResult run = RunTumblebench(dir.path(), "-f S01T06R01.csv");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "tumblebench: S01T06R01_DSV.csv, trace cannot be created (a symbolic link is in its place and "
                     "is not followed); the recording is not scored.\n"
                     "tumblebench: no recording was scored.\n");
  EXPECT_EQ(ReadFile(dir.File("precious.txt")), "not a trace\n");
  EXPECT_FALSE(Contains(run.out, "result ")) << run.out;
}

// Traces are written only into regular files with no other name. A FIFO in
// a trace's place held the replay up (or swallowed the trace), a device took
// it, and a hard link had the trace rows written over the label file or
// another recording. Each is refused untouched, in one process and in
// workers alike; timeout(1) ends a run that waits on a FIFO.
TEST(FaultInjection, OnlyARegularFileWithOneNameBecomesATrace) {
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("jobs ") + jobs);
    TempDir dir;
    const fs::path root = fs::canonical(dir.path());
    const fs::path sa01 = root / "SA01";
    fs::create_directories(sa01);
    fs::create_directories(root / "SA02");
    const std::string labels = std::string(kHeader) + "S01T06,walk,1,0,0\n,,2,0,0\n,,3,0,0\n,,4,0,0\n,,5,0,0\n";
    WriteFile((sa01 / "SA01_all.csv").string(), labels);
    const std::string recording = KFallRecording(60);
    for (int r = 1; r <= 5; ++r) WriteFile((sa01 / ("S01T06R0" + std::to_string(r) + ".csv")).string(), recording);
    WriteFile((root / "SA02" / "SA02_all.csv").string(), std::string(kHeader) + "S02T06,walk,1,0,0\n");
    WriteFile((root / "SA02" / "S02T06R01.csv").string(), recording);
    ASSERT_EQ(mkfifo((sa01 / "S01T06R01_DSV.csv").c_str(), 0644), 0);
    // A copy of /dev/null, where the system lets us make one.
    const bool device = mknod((sa01 / "S01T06R02_DSV.csv").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    fs::create_hard_link(sa01 / "SA01_all.csv", sa01 / "S01T06R03_DSV.csv");
    fs::create_hard_link(sa01 / "S01T06R05.csv", sa01 / "S01T06R04_DSV.csv");

    const RunResult run = RunShell(root, std::string("TUMBLEBENCH_JOBS=") + jobs + " timeout 60 " +
                                             Quoted(TumblebenchPath()) + " -r");
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string refused = ", trace cannot be created (";
    EXPECT_TRUE(Contains(run.err, "tumblebench: S01T06R01_DSV.csv" + refused +
                                      "a FIFO is in its place and is not written to); the recording is not scored.\n"))
        << run.err;
    if (device) {
      EXPECT_TRUE(Contains(run.err, "tumblebench: S01T06R02_DSV.csv" + refused +
                                        "a character device is in its place and is not written to); the recording "
                                        "is not scored.\n"))
          << run.err;
    }
    for (const char* trace : {"S01T06R03_DSV.csv", "S01T06R04_DSV.csv"}) {
      EXPECT_TRUE(Contains(run.err, std::string("tumblebench: ") + trace + refused +
                                        "the file in its place has 2 hard links, and writing it would change the "
                                        "files linked to it); the recording is not scored.\n"))
          << run.err;
    }
    // Nothing was written through the other names, and nothing refused is
    // scored.
    EXPECT_EQ(ReadFile((sa01 / "SA01_all.csv").string()), labels);
    EXPECT_EQ(ReadFile((sa01 / "S01T06R05.csv").string()), recording);
    EXPECT_EQ(fs::status(sa01 / "S01T06R01_DSV.csv").type(), fs::file_type::fifo);
    EXPECT_EQ(Count(run.out, "result "), 2u) << run.out;
    EXPECT_TRUE(Contains(run.out, "result S01T06R05.csv : 06,")) << run.out;
    EXPECT_TRUE(Contains(run.out, "result S02T06R01.csv : 06,")) << run.out;
  }
}

// The same FIFO under the single-recording form.
TEST(FaultInjection, AFifoInATracesPlaceDoesNotHoldAReplayUp) {
  TempDir dir;
  WriteFile(dir.File("S06T11R01.csv"), KFallRecording(4000));
  ASSERT_EQ(mkfifo(dir.File("S06T11R01_DSV.csv").c_str(), 0644), 0);
  const RunResult run = RunShell(dir.path(), "timeout 60 " + Quoted(TumblebenchPath()) + " -f S06T11R01.csv");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "tumblebench: S06T11R01_DSV.csv, trace cannot be created (a FIFO is in its place and is not "
                     "written to); the recording is not scored.\ntumblebench: no recording was scored.\n");
}

// A recording lost because the process ran out of descriptors is no fault
// of the data set, and another limit would have scored it: the run's exit
// status says that the report is incomplete. The program starts with the
// standard streams alone and a limit of four descriptors: room for the
// recording, not for its trace.
TEST(FaultInjection, ARecordingLostToTheDescriptorLimitMakesTheRunIncomplete) {
  TempDir dir;
  WriteFile(dir.File("S01T06R01.csv"), KFallRecording(60));
  const std::string program = TumblebenchPath();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int out = open(dir.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(dir.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 ||
        chdir(dir.path().c_str()) != 0) {
      _exit(127);
    }
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    const struct rlimit four = {4, 4};
    if (setrlimit(RLIMIT_NOFILE, &four) != 0) _exit(127);
    execl(program.c_str(), program.c_str(), "-f", "S01T06R01.csv", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  const std::string out = ReadFile(dir.File("out"));
  const std::string err = ReadFile(dir.File("err"));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4) << "wait status " << status << "; " << err;
  EXPECT_TRUE(Contains(err, "tumblebench: S01T06R01_DSV.csv, trace cannot be created (Too many open files); the "
                            "recording is not scored.\n"))
      << err;
  EXPECT_TRUE(Contains(err, "tumblebench: the report is incomplete: files named above could not be opened for "
                            "want of descriptors or memory; their recordings are missing.\n"))
      << err;
  EXPECT_FALSE(Contains(out, "result ")) << out;
  EXPECT_TRUE(Contains(out, "# ADL STAT:")) << out;
}

// A rerun writes over the earlier trace instead of emptying it first; the
// finished file must still be exactly the new trace, whether the earlier one
// was longer (its rest is cut off) or shorter, and whatever it held.
TEST(FaultInjection, AnEarlierTraceIsWrittenOverAndCutToTheNewLength) {
  TempDir fresh;
  WriteFile(fresh.File("S01T06R01.csv"), KFallRecording(600, 0.1, -0.5, 0.2, 30, -20, 45));
  ASSERT_EQ(RunTumblebench(fresh.path(), "-f S01T06R01.csv").status, 0);
  const std::string trace = ReadFile(fresh.File("S01T06R01_DSV.csv"));
  ASSERT_GT(trace.size(), 10000u);

  std::string longer = trace;
  for (char& c : longer) c = (c >= '0' && c <= '8') ? static_cast<char>(c + 1) : c;
  longer += std::string(100000, 'z');
  for (const std::string& earlier : {longer, std::string("seqno\n"), std::string()}) {
    TempDir dir;
    WriteFile(dir.File("S01T06R01.csv"), KFallRecording(600, 0.1, -0.5, 0.2, 30, -20, 45));
    WriteFile(dir.File("S01T06R01_DSV.csv"), earlier);
    const RunResult run = RunTumblebench(dir.path(), "-f S01T06R01.csv");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(ReadFile(dir.File("S01T06R01_DSV.csv")) == trace) << "earlier trace of " << earlier.size() << " bytes";
  }
}

// A run ended by a signal in the middle of a recording leaves a beginning of
// the new trace, as emptying the old one first would, never new rows
// followed by old ones. The run's standard output is a pipe that nobody
// reads, so the run stops of itself once the pipe is full, long before its
// end and long after its first trace rows reached the file; only then is it
// terminated, so the signal always comes mid-way, however loaded the
// machine is.
TEST(FaultInjection, ATraceEndedByASignalHoldsOnlyNewRows) {
  const std::string lines = KFallRecording(200000, 0.1, -0.5, 0.2, 30, -20, 45);
  TempDir fresh;
  WriteFile(fresh.File("S01T06R01.csv"), lines);
  ASSERT_EQ(RunTumblebench(fresh.path(), "-f S01T06R01.csv > /dev/null").status, 0);
  const std::string trace = ReadFile(fresh.File("S01T06R01_DSV.csv"));

  TempDir dir;
  WriteFile(dir.File("S01T06R01.csv"), lines);
  WriteFile(dir.File("S01T06R01_DSV.csv"), std::string(trace.size() + 100000, 'z'));
  int output[2];
  ASSERT_EQ(pipe(output), 0);
  // Room for about 10000 of the run's 100000 samples (its detector lines),
  // whatever the system's default pipe size.
  fcntl(output[1], F_SETPIPE_SZ, 1 << 20);
  const std::string program = TumblebenchPath();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (chdir(dir.path().c_str()) != 0 || dup2(output[1], STDOUT_FILENO) < 0) _exit(127);
    close(output[0]);
    close(output[1]);
    execl(program.c_str(), program.c_str(), "-f", "S01T06R01.csv", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(output[1]);
  std::string start;
  for (int waited = 0; waited < 20000 && start != "seqno,"; ++waited) {
    usleep(500);
    start = ReadFile(dir.File("S01T06R01_DSV.csv")).substr(0, 6);
  }
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  close(output[0]);

  EXPECT_EQ(start, "seqno,");
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
  const std::string cut = ReadFile(dir.File("S01T06R01_DSV.csv"));
  EXPECT_GE(cut.size(), 6u);
  EXPECT_LT(cut.size(), trace.size());
  EXPECT_TRUE(trace.compare(0, cut.size(), cut) == 0) << "the trace is not a beginning of the new one";
}

// A recording that is a link to its own trace name: creating the trace
// would empty the recording.
TEST(FaultInjection, TraceNameThatIsTheRecordingLeavesItUntouched) {
  TempDir dir;
  const std::string data = KFallRecording(60);
  WriteFile(dir.File("S01T20R01_DSV.csv"), data);
  fs::create_symlink("S01T20R01_DSV.csv", dir.File("S01T20R01.csv"));
  WriteFile(dir.File("S01T20R02_DSV.csv"), data);
  fs::create_hard_link(dir.File("S01T20R02_DSV.csv"), dir.File("S01T20R02.csv"));
  WriteFile(dir.File("labels.csv"), std::string(kHeader) + "S01T20,fall,1,0,0\n,,2,0,0\n");

  const RunResult run = RunTumblebench(dir.path(), "labels.csv");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadFile(dir.File("S01T20R01_DSV.csv")), data);
  EXPECT_EQ(ReadFile(dir.File("S01T20R02_DSV.csv")), data);
  for (const char* trial : {"S01T20R01", "S01T20R02"}) {
    EXPECT_TRUE(Contains(run.err, std::string("tumblebench: ") + trial + ".csv, its trace name " + trial +
                                      "_DSV.csv is the recording itself, which is left untouched; the recording is "
                                      "not scored.\n"))
        << run.err;
  }
  EXPECT_FALSE(Contains(run.out, "result ")) << run.out;
}

// Runs `script` with sh in a private mount namespace, where mounts made by
// the script vanish with it. Exit status 97 from the script means a mount
// failed.
RunResult InPrivateMounts(const fs::path& dir, const std::string& script) {
  return RunShell(dir, "unshare -m sh -c " + Quoted(script));
}

TEST(FaultInjection, TraceOnAFullDiskIsReportedAndTheResultStands) {
  TempDir dir;
  WriteFile(dir.File("S01T06R01.csv"), KFallRecording(600));
  fs::create_directory(dir.File("disk"));
  // A small tmpfs holding the recording, then filled to the last block: the
  // trace can be created but not one block of it written.
  const RunResult run = InPrivateMounts(
      dir.path(), "mount -t tmpfs -o size=256k tmpfs disk || exit 97; cp S01T06R01.csv disk/ && cd disk && "
                  "{ dd if=/dev/zero of=filler bs=4k 2>/dev/null; " + Quoted(TumblebenchPath()) +
                      " -f S01T06R01.csv; }");
  if (run.status == 97) GTEST_SKIP() << "no private tmpfs can be mounted here: " << run.err;
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "tumblebench: S01T06R01.csv, trace not written completely.\n");
  // The detector saw every sample, so the result is complete even though
  // its trace is not.
  EXPECT_TRUE(Contains(run.out, "300 data, processed.\nresult S01T06R01.csv : 06,")) << run.out;
}

TEST(FaultInjection, ReportOnAFullDiskEndsWithAnErrorStatus) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not available";
  TempDir dir;
  WriteFile(dir.File("S01T06R01.csv"), KFallRecording(60));
  const RunResult run = RunTumblebench(dir.path(), "-f S01T06R01.csv >/dev/full");
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "standard output could not be written")) << run.err;
}

// A small tmpfs in a private mount namespace (it vanishes with the
// namespace), filled by the traces of a label-file run.
TEST(FaultInjection, DiskFillingUpDuringARunCutsNoTraceSilently) {
  TempDir dir;
  const fs::path source = dir.path() / "source";
  const fs::path mount_point = dir.path() / "small_disk";
  fs::create_directories(source);
  fs::create_directories(mount_point);
  constexpr int kRecordings = 8;
  constexpr int kRows = 800;  // 400 samples, a trace of about 26 KB
  std::string labels = kHeader;
  size_t bytes = 0;
  for (int r = 1; r <= kRecordings; ++r) {
    char name[32];
    std::snprintf(name, sizeof(name), "S01T06R%02d.csv", r);
    const std::string body = KFallRecording(kRows, 0.1, -0.9, 0.2, 30.0, -20.0, 5.0);
    WriteFile((source / name).string(), body);
    bytes += (body.size() + 4095) / 4096 * 4096;
    labels += "S01T06,walk," + std::to_string(r) + ",0,0\n";
  }
  WriteFile((source / "labels.csv").string(), labels);
  bytes += 4096;
  // Room for about two and a half traces once the recordings are in.
  const size_t size_kb = bytes / 1024 + 64;

  const std::string out_file = dir.File("out.txt");
  const std::string counts_file = dir.File("counts.txt");
  const std::string script =
      "mount -t tmpfs -o size=" + std::to_string(size_kb) + "k tmpfs " + Quoted(mount_point.string()) +
      " || exit 97; cp " + Quoted(source.string()) + "/* " + Quoted(mount_point.string()) + "/ || exit 98; cd " +
      Quoted(mount_point.string()) + " && " + Quoted(TumblebenchPath()) + " labels.csv >" + Quoted(out_file) +
      "; status=$?; for f in *_DSV.csv; do echo \"$f $(wc -l < \"$f\")\"; done >" + Quoted(counts_file) +
      "; exit $status";
  const RunResult run = InPrivateMounts(dir.path(), script);
  if (run.status == 97 || run.status == 98 || !fs::exists(counts_file)) {
    GTEST_SKIP() << "no private tmpfs can be mounted here (needs mount privileges): " << run.err;
  }
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string out = ReadFile(out_file);

  std::map<std::string, int> trace_lines;
  for (const std::string& line : ReadLines(counts_file)) {
    const size_t space = line.find(' ');
    trace_lines[line.substr(0, space)] = std::atoi(line.c_str() + space + 1);
  }
  int complete = 0;
  int reported = 0;
  for (int r = 1; r <= kRecordings; ++r) {
    char name[32];
    std::snprintf(name, sizeof(name), "S01T06R%02d", r);
    SCOPED_TRACE(name);
    const std::string recording = std::string(name) + ".csv";
    // Every recording is replayed to its end and scored.
    EXPECT_TRUE(Contains(out, "result " + recording + " : 06,")) << out;
    const bool said = Contains(run.err, "tumblebench: " + recording + ", trace not written completely.\n");
    const int lines = trace_lines[std::string(name) + "_DSV.csv"];
    if (lines == kRows / 2 + 1) {
      ++complete;
      EXPECT_FALSE(said) << "a complete trace was reported as cut short";
    } else {
      ++reported;
      EXPECT_TRUE(said) << "trace of " << lines << " lines without a word; stderr: " << run.err;
    }
  }
  // Both sides of the full disk were seen, or the case proved nothing.
  EXPECT_GE(complete, 1);
  EXPECT_GE(reported, 1);
}

// --- Recordings and subject folders -------------------------------------------

// The converter runs for the first subject the walk enters (neither has a
// label file yet). It writes that subject's list, which names a recording
// that is there, one that is not and one that is a folder, and removes the
// other subject's folder before the walk gets there.
TEST(FaultInjection, RecordingsAndFoldersThatVanishOrCannotBeReadMidWalk) {
  TempDir dir;
  const fs::path root = fs::canonical(dir.path()) / "data";
  for (const char* subject : {"SA01", "SA02"}) {
    const std::string code = std::string("S") + (subject + 2) + "T06";
    fs::create_directories(root / subject);
    WriteFile((root / subject / (code + "R01.csv")).string(), KFallRecording(60));
    fs::create_directory(root / subject / (code + "R03.csv"));
  }
  const fs::path program = InstallWithConverter(
      dir.path(),
      "#!/bin/sh\n"
      "s=${1%_down.csv}\n"
      "n=${s#SA}\n"
      "printf \"%sS${n}T06,walk,1,0,0\\n,,2,0,0\\n,,3,0,0\\n\" '" + std::string(kHeader) + "' > ${s}_all.csv\n"
      "for other in ../SA*; do [ \"$other\" = \"../$s\" ] || rm -rf \"$other\"; done\n");

  // One subject after another: the first one's converter removes the other.
  const RunResult run = RunShell(root, "TUMBLEBENCH_JOBS=1 " + Quoted(program.string()) + " -r");
  EXPECT_EQ(run.status, 0);
  std::string first = Contains(run.out, "result S01T06R01.csv") ? "SA01" : "SA02";
  const std::string other = first == "SA01" ? "SA02" : "SA01";
  const std::string code = "S" + first.substr(2) + "T06";
  EXPECT_TRUE(Contains(run.out, "result " + code + "R01.csv : 06,")) << run.out;
  EXPECT_TRUE(Contains(run.out, "tumblebench: " + code + "R02.csv, not found.\n")) << run.out;
  // A folder in a recording's place is refused before anything is read or
  // a trace is made for it.
  EXPECT_TRUE(Contains(run.out, "tumblebench: " + code + "R03.csv, not found.\n")) << run.out;
  EXPECT_TRUE(Contains(run.err, code + "R03.csv, is a folder, not a regular file; the recording is not scored."))
      << run.err;
  EXPECT_FALSE(fs::exists(root / first / (code + "R03_DSV.csv")));
  EXPECT_TRUE(Contains(run.err, (root / other).string() + ", the subject folder cannot be entered (No such file "
                                                           "or directory); skipped.") ||
              Contains(run.err, (root / other).string() + ", cannot be examined"))
      << run.err;
  EXPECT_EQ(Count(run.out, "result "), 1u) << run.out;
  EXPECT_TRUE(Contains(run.out, "# ADL STAT: tn 1(100.00%)")) << run.out;
}

// A FIFO in the place of a recording or of a label file would hold the run
// up until some writer came; it is refused without being opened.
TEST(FaultInjection, FifosAndOtherNonRegularFilesAreRefusedWithoutWaiting) {
  TempDir dir;
  const fs::path root = fs::canonical(dir.path());
  fs::create_directories(root / "SA01");
  fs::create_directories(root / "SA02");
  WriteFile((root / "SA01" / "SA01_all.csv").string(), std::string(kHeader) + "S01T06,walk,1,0,0\n,,2,0,0\n,,3,0,0\n");
  WriteFile((root / "SA01" / "S01T06R01.csv").string(), KFallRecording(60));
  ASSERT_EQ(mkfifo((root / "SA01" / "S01T06R02.csv").c_str(), 0644), 0);
  WriteFile((root / "SA01" / "S01T06R03.csv").string(), KFallRecording(60));
  ASSERT_EQ(mkfifo((root / "SA02" / "SA02_all.csv").c_str(), 0644), 0);

  // timeout(1) ends a run that waits on a FIFO.
  const RunResult run = RunShell(root, "timeout 60 " + Quoted(TumblebenchPath()) + " -r");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.out, "tumblebench: S01T06R02.csv, not found.\n")) << run.out;
  EXPECT_TRUE(Contains(run.err, "tumblebench: S01T06R02.csv, is a FIFO, not a regular file; the recording is not "
                                "scored.\n"))
      << run.err;
  EXPECT_FALSE(fs::exists(root / "SA01" / "S01T06R02_DSV.csv"));
  EXPECT_EQ(Count(run.out, "result S01T06R0"), 2u) << run.out;
  // The FIFO label file counts as there: no converter, one message.
  EXPECT_TRUE(Contains(run.err, "tumblebench: SA02_all.csv, the label file is a FIFO, not a regular file; "
                                "skipped.\n"))
      << run.err;
  EXPECT_FALSE(Contains(run.err, "kfall_label")) << run.err;
  EXPECT_FALSE(Contains(run.err, "no label file")) << run.err;
}

// Root reads and writes anything, so the permission cases run the program
// as an ordinary user: as "nobody" through setpriv when the tests run as
// root, directly otherwise.
std::string AsOrdinaryUser(const std::string& command) {
  if (geteuid() != 0) return command;
  return "setpriv --reuid=65534 --regid=65534 --clear-groups " + command;
}

bool CanDropPrivileges() {
  if (geteuid() != 0) return true;
  int status = -1;
  RunCommand(AsOrdinaryUser("true") + " 2>/dev/null", &status);
  return status == 0;
}

void HandToOrdinaryUser(const fs::path& path) {
  if (geteuid() != 0) return;
  for (const auto& entry : fs::recursive_directory_iterator(path)) {
    if (lchown(entry.path().c_str(), 65534, 65534) != 0) FAIL() << "chown " << entry.path();
  }
  if (lchown(path.c_str(), 65534, 65534) != 0) FAIL() << "chown " << path;
}

TEST(FaultInjection, FoldersAndFilesWithoutPermission) {
  if (!CanDropPrivileges()) GTEST_SKIP() << "cannot run the program as an ordinary user here";
  TempDir dir;
  fs::permissions(dir.path(), fs::perms::all);  // mkdtemp made it private to its owner
  const fs::path root = dir.path() / "data";
  for (const char* subject : {"SA01", "SA02", "SA03"}) {
    const std::string code = std::string("S") + (subject + 2) + "T06";
    fs::create_directories(root / subject);
    WriteFile((root / subject / (std::string(subject) + "_all.csv")).string(),
              std::string(kHeader) + code + ",walk,1,0,0\n,,2,0,0\n");
    WriteFile((root / subject / (code + "R01.csv")).string(), KFallRecording(60));
    WriteFile((root / subject / (code + "R02.csv")).string(), KFallRecording(60));
  }
  // A converter that writes nothing, so SA03's unreadable list stays unreadable.
  const fs::path program = InstallWithConverter(dir.path(), "#!/bin/sh\nexit 0\n");
  HandToOrdinaryUser(dir.path());
  fs::permissions(root / "SA01", fs::perms::none);
  fs::permissions(root / "SA02" / "S02T06R01.csv", fs::perms::none);
  fs::permissions(root / "SA03" / "SA03_all.csv", fs::perms::none);
  fs::create_directories(root / "SA04");
  WriteFile((root / "SA04" / "SA04_all.csv").string(), std::string(kHeader) + "S04T06,walk,1,0,0\n");
  WriteFile((root / "SA04" / "S04T06R01.csv").string(), KFallRecording(60));
  HandToOrdinaryUser(root / "SA04");
  fs::permissions(root / "SA04", fs::perms::owner_read | fs::perms::owner_exec);  // no trace can go here

  const RunResult run = RunShell(root, AsOrdinaryUser(Quoted(program.string()) + " -r"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, (root / "SA01").string() +
                                    ", the subject folder cannot be entered (Permission denied); skipped."))
      << run.err;
  EXPECT_TRUE(Contains(run.out, "tumblebench: S02T06R01.csv, not found.\n")) << run.out;
  EXPECT_TRUE(Contains(run.err, "tumblebench: S02T06R01.csv, cannot be opened (Permission denied); the recording "
                                "is not scored.")) << run.err;
  EXPECT_TRUE(Contains(run.err, "SA03/SA03_all.csv, no label file; subject skipped.")) << run.err;
  EXPECT_TRUE(Contains(run.err, "tumblebench: S04T06R01_DSV.csv, trace cannot be created (Permission denied); the "
                                "recording is not scored.")) << run.err;
  EXPECT_TRUE(Contains(run.out, "result S02T06R02.csv : 06,")) << run.out;
  EXPECT_EQ(Count(run.out, "result "), 1u) << run.out;

  // A root that may be entered but not listed, and a label file given on the
  // command line that may not be read.
  fs::permissions(root, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
  const RunResult walk = RunShell(root, AsOrdinaryUser(Quoted(program.string()) + " -r1"));
  EXPECT_EQ(walk.status, 0);
  EXPECT_TRUE(Contains(walk.err, root.string() + ", the folder cannot be searched (Permission denied); skipped."))
      << walk.err;
  EXPECT_TRUE(Contains(walk.out, "# ADL STAT: tn 0(0.00%)")) << walk.out;
  fs::permissions(root, fs::perms::all);

  const RunResult lone = RunShell(root / "SA03", AsOrdinaryUser(Quoted(program.string()) + " SA03_all.csv"));
  EXPECT_EQ(lone.status, 0);
  EXPECT_EQ(lone.err,
            "tumblebench: SA03_all.csv, the label file cannot be opened (Permission denied); skipped.\n"
            "tumblebench: no recording was scored.\n");
  fs::permissions(root / "SA01", fs::perms::all);
  fs::permissions(root / "SA04", fs::perms::all);
}

TEST(FaultInjection, MistypedLabelFileIsNamed) {
  TempDir dir;
  const RunResult run = RunTumblebench(dir.path(), "SA01_al.csv");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "tumblebench: SA01_al.csv, the label file cannot be opened (No such file or directory); "
                     "skipped.\ntumblebench: no recording was scored.\n");
  EXPECT_TRUE(Contains(run.out, "# ADL STAT: tn 0(0.00%), fp 0(0.00%)")) << run.out;
}

// --- The label converter ------------------------------------------------------

// One behaviour per subject: fails without writing, is killed by a hang-up,
// writes half a list and fails, writes an empty file and claims success, or
// does its job.
TEST(FaultInjection, LabelConverterThatFailsOrHangsUpIsReported) {
  TempDir dir;
  const fs::path root = fs::canonical(dir.path()) / "data";
  for (const char* subject : {"SA01", "SA02", "SA03", "SA04", "SA05"}) {
    fs::create_directories(root / subject);
    WriteFile((root / subject / ("S" + std::string(subject + 2) + "T20R01.csv")).string(), KFallRecording(60));
  }
  const fs::path program = InstallWithConverter(
      dir.path(),
      "#!/bin/sh\n"
      "s=${1%_down.csv}\n"
      "case $s in\n"
      "  SA01) exit 3 ;;\n"
      "  SA02) kill -HUP $$; sleep 5 ;;\n"
      "  SA03) printf '" + std::string(kHeader) + "S03T20,fall,1,24' > ${s}_all.csv; exit 1 ;;\n"
      "  SA04) : > ${s}_all.csv ;;\n"
      "  SA05) printf '" + std::string(kHeader) + "S05T20,fall,1,40,80\\n' > ${s}_all.csv ;;\n"
      "esac\n");

  const RunResult run = RunTumblebench(root, "-r", program.string());
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.err, "tumblebench: SA01, kfall_label SA01_down.csv failed with exit status 3; its label "
                                "file may be incomplete.\n")) << run.err;
  EXPECT_TRUE(Contains(run.err, "SA01/SA01_all.csv, no label file; subject skipped.\n")) << run.err;
  // The interpreter either passes the signal on or turns it into 128 + 1.
  EXPECT_TRUE(Contains(run.err, "kfall_label SA02_down.csv was ended by signal 1;") ||
              Contains(run.err, "kfall_label SA02_down.csv failed with exit status 129;"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "SA02/SA02_all.csv, no label file; subject skipped.\n")) << run.err;
  EXPECT_TRUE(Contains(run.err, "kfall_label SA03_down.csv failed with exit status 1;")) << run.err;
  // Half a list is used as far as it goes, and its cut line is flagged.
  EXPECT_TRUE(Contains(run.out, "tumblebench: invalid string, S03T20,fall,1,24\n\nS03T20R01.csv :   12,    0\n"))
      << run.out;
  EXPECT_TRUE(Contains(run.err, "tumblebench: SA04_all.csv, the label file is empty; skipped.\n")) << run.err;
  EXPECT_TRUE(Contains(run.out, "result S03T20R01.csv : 20,")) << run.out;
  EXPECT_TRUE(Contains(run.out, "result S05T20R01.csv : 20,")) << run.out;
  EXPECT_EQ(Count(run.out, "result "), 2u) << run.out;
  EXPECT_FALSE(Contains(run.err, "SA05")) << run.err;
}

// True while pid names a process that has not ended (a zombie has).
bool IsRunning(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t name_end = stat.rfind(')');
  return name_end == std::string::npos || name_end + 2 >= stat.size() || stat[name_end + 2] != 'Z';
}

// Waits up to `seconds` for `condition`.
template <class Condition>
bool Eventually(double seconds, Condition condition) {
  const auto start = std::chrono::steady_clock::now();
  while (!condition()) {
    if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A converter that never ends is stopped at the time limit, with whatever
// it started (here a helper that ignores SIGTERM), and the walk goes on.
TEST(FaultInjection, LabelConverterPastItsTimeLimitIsStopped) {
  TempDir dir;
  const fs::path root = fs::canonical(dir.path()) / "data";
  fs::create_directories(root / "SA01");
  fs::create_directories(root / "SA02");
  WriteFile((root / "SA02" / "SA02_all.csv").string(), std::string(kHeader) + "S02T06,walk,1,0,0\n");
  WriteFile((root / "SA02" / "S02T06R01.csv").string(), KFallRecording(60));
  const fs::path program = InstallWithConverter(dir.path(),
                                                "#!/bin/sh\n"
                                                "trap '' TERM\n"
                                                "sleep 30 &\n"
                                                "echo $! > ../helper.pid\n"
                                                "wait\n");
  const auto start = std::chrono::steady_clock::now();
  const RunResult run = RunShell(
      root, "TUMBLEBENCH_KFALL_LABEL_TIMEOUT=0.3 timeout 60 " + Quoted(program.string()) + " -r");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.status, 0);
  EXPECT_LT(seconds, 15.0);
  EXPECT_TRUE(Contains(run.err, "tumblebench: SA01, kfall_label SA01_down.csv did not finish within 0.3 s and was "
                                "stopped; its label file may be incomplete.\n"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "SA01/SA01_all.csv, no label file; subject skipped.\n")) << run.err;
  EXPECT_TRUE(Contains(run.out, "result S02T06R01.csv : 06,")) << run.out;
  const int helper = std::atoi(ReadFile((root / "helper.pid").string()).c_str());
  ASSERT_GT(helper, 0);
  EXPECT_TRUE(Eventually(5.0, [&] { return !IsRunning(helper); })) << "the converter's helper outlived the limit";
}

// Starts program with one argument in dir as the leader of a process group
// of its own, as a shell with job control starts a command, with default
// signal dispositions and its output in out_file and err_file.
pid_t StartAsJob(const fs::path& dir, const std::string& program, const std::string& argument,
                 const std::string& out_file, const std::string& err_file) {
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) signal(signal_number, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 ||
        chdir(dir.c_str()) != 0) {
      _exit(127);
    }
    execl(program.c_str(), program.c_str(), argument.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0) setpgid(pid, pid);
  return pid;
}

// Ctrl-C (SIGINT to the whole foreground group) or a SIGTERM to tumblebench
// alone while a converter runs: the converter and what it started end, and
// so does the run, by that signal and without a report.
TEST(FaultInjection, InterruptDuringALabelConversionStopsTheRun) {
  struct Case {
    const char* what;
    int signal_number;
    bool whole_group;
  } cases[] = {{"Ctrl-C", SIGINT, true}, {"termination request", SIGTERM, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const fs::path root = fs::canonical(dir.path()) / "data";
    fs::create_directories(root / "SA01");
    WriteFile((root / "SA01" / "S01T06R01.csv").string(), KFallRecording(60));
    // The helper is started in the background, so it ignores SIGINT.
    const fs::path program = InstallWithConverter(dir.path(),
                                                  "#!/bin/sh\n"
                                                  "sleep 30 &\n"
                                                  "echo $! > ../helper.tmp\n"
                                                  "mv ../helper.tmp ../helper.pid\n"
                                                  "wait\n");
    const pid_t harness = StartAsJob(root, program.string(), "-r", dir.File("out"), dir.File("err"));
    ASSERT_GT(harness, 0);
    const fs::path helper_file = root / "helper.pid";
    const bool started = Eventually(20.0, [&] { return fs::exists(helper_file); });
    if (started) kill(c.whole_group ? -harness : harness, c.signal_number);
    int status = 0;
    const bool ended = Eventually(20.0, [&] { return waitpid(harness, &status, WNOHANG) == harness; });
    if (!ended) {
      kill(-harness, SIGKILL);
      waitpid(harness, &status, 0);
    }
    ASSERT_TRUE(started) << "the converter never ran; stderr: " << ReadFile(dir.File("err"));
    ASSERT_TRUE(ended) << "the run went on after the signal";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal_number) << "wait status " << status;
    EXPECT_FALSE(Contains(ReadFile(dir.File("out")), "# ADL STAT")) << ReadFile(dir.File("out"));
    EXPECT_TRUE(Contains(ReadFile(dir.File("err")), "tumblebench: SA01, interrupted by signal " +
                                                        std::to_string(c.signal_number) +
                                                        " while kfall_label SA01_down.csv ran; the run is stopped.\n"))
        << ReadFile(dir.File("err"));
    const pid_t helper = std::atoi(ReadFile(helper_file.string()).c_str());
    ASSERT_GT(helper, 0);
    EXPECT_TRUE(Eventually(5.0, [&] { return !IsRunning(helper); })) << "the converter's helper is still running";
  }
}

// A run whose hang-ups are ignored (as under nohup) goes on after one, with
// workers as in one process.
TEST(FaultInjection, AnIgnoredHangUpLeavesTheParallelWalkRunning) {
  TempDir dir;
  const fs::path root = fs::canonical(dir.path()) / "data";
  for (const char* subject : {"SA01", "SA02"}) fs::create_directories(root / subject);
  WriteFile((root / "SA01" / "S01T06R01.csv").string(), KFallRecording(60));
  WriteFile((root / "SA02" / "S02T06R01.csv").string(), KFallRecording(60));
  // The converter says it has started, then takes a second to write the
  // subject's label file.
  const std::string header(kHeader, std::strlen(kHeader) - 1);
  const fs::path program = InstallWithConverter(dir.path(),
                                                "#!/bin/sh\n"
                                                "s=${1%_down.csv}\n"
                                                "touch ../started\n"
                                                "sleep 1\n"
                                                "printf '%s\\n' '" + header + "' \"S${s#SA}T06,walk,1,0,0\" > ${s}_all.csv\n");
  const RunResult run = RunShell(
      root, "{ (trap '' HUP; TUMBLEBENCH_JOBS=2 exec " + Quoted(program.string()) +
                " -r) >out 2>err & }; pid=$!; while [ ! -e started ]; do sleep 0.02; done; kill -HUP $pid; "
                "wait $pid; echo status $?");
  EXPECT_EQ(run.out, "status 0\n") << ReadFile((root / "err").string());
  const std::string out = ReadFile((root / "out").string());
  EXPECT_TRUE(Contains(out, "result S01T06R01.csv : 06,")) << out;
  EXPECT_TRUE(Contains(out, "result S02T06R01.csv : 06,")) << out;
  EXPECT_TRUE(Contains(out, "# ADL STAT")) << out;
}

// A converter that dies of SIGINT was interrupted: the run stops there
// rather than go on to a report that is missing the subject.
TEST(FaultInjection, ConverterDyingOfAnInterruptStopsTheRun) {
  TempDir dir;
  const fs::path root = fs::canonical(dir.path()) / "data";
  for (const char* subject : {"SA01", "SA02"}) fs::create_directories(root / subject);
  const fs::path program = InstallWithConverter(dir.path(), "#!/bin/sh\nkill -INT $$\nsleep 5\n");
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("jobs ") + jobs);
    const RunResult run = RunShell(root, std::string("TUMBLEBENCH_JOBS=") + jobs + " " + Quoted(program.string()) + " -r");
    EXPECT_NE(run.status, 0);
    EXPECT_FALSE(Contains(run.out, "# ADL STAT")) << run.out;
    // One process stops at the first subject; workers may have started both.
    const size_t interrupted = Count(run.err, "was interrupted (signal 2); the run is stopped.\n");
    EXPECT_TRUE(jobs[0] == '1' ? interrupted == 1u : interrupted >= 1u) << run.err;
    EXPECT_FALSE(Contains(run.err, "the report is incomplete")) << run.err;
  }
}

}  // namespace
