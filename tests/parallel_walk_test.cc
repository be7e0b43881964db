// Walks over subject folders in worker processes: the same bytes as one
// process, and a worker that dies is never a silently smaller result.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <string>

#include "tests/generated_data.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::RunCommand;
using test_support::TempDir;

struct Walk {
  std::string out;
  std::string err;
  int status = -1;
  std::map<std::string, std::string> traces;  // relative path -> content
};

// Runs the walk in root; `launcher` is a command that starts the program
// (env with its options, a shell that sets a limit).
Walk RunWalk(const fs::path& root, const std::string& program, const std::string& argument,
             const std::string& jobs, const std::string& launcher = "") {
  TempDir err_dir;
  Walk walk;
  walk.out = RunCommand("cd '" + root.string() + "' && TUMBLEBENCH_JOBS=" + jobs + " " + launcher +
                            " '" + program + "' " + argument + " 2>'" + err_dir.File("err") + "'",
                        &walk.status);
  walk.err = ReadFile(err_dir.File("err"));
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 8 && name.compare(name.size() - 8, 8, "_DSV.csv") == 0) {
      walk.traces[fs::relative(entry.path(), root).string()] = ReadFile(entry.path().string());
    }
  }
  return walk;
}

void Generate(const fs::path& root, const std::string& format) {
  int status = -1;
  const std::string output = generated_data::Generate(
      "--out '" + root.string() + "' --subjects 4 --trials 1 --seed 29 --quiet" + format, &status);
  ASSERT_EQ(status, 0) << output;
}

TEST(ParallelWalk, WorkersGiveTheBytesOfASerialWalk) {
  for (const char* form : {"-r", "-all"}) {
    SCOPED_TRACE(form);
    TempDir serial_root, parallel_root;
    const std::string format = std::string(form) == "-all" ? " --format device" : "";
    Generate(serial_root.path(), format);
    Generate(parallel_root.path(), format);
    const Walk serial = RunWalk(serial_root.path(), test_support::TumblebenchPath(), form, "1");
    const Walk parallel = RunWalk(parallel_root.path(), test_support::TumblebenchPath(), form, "3");
    ASSERT_EQ(serial.status, 0) << serial.err;
    EXPECT_EQ(parallel.status, 0) << parallel.err;
    EXPECT_NE(serial.out.find("# ADL STAT: tn "), std::string::npos);
    EXPECT_EQ(parallel.out, serial.out);
    EXPECT_EQ(parallel.err, serial.err);
    EXPECT_GT(serial.traces.size(), 20u);
    EXPECT_TRUE(parallel.traces == serial.traces);
  }
}

// A worker killed on the way (here by a label converter that ends it) leaves
// its subject out, named, with a status that says the report is incomplete.
TEST(ParallelWalk, AKilledWorkerIsNamedAndTheRunIsIncomplete) {
  TempDir bin, root, reference;
  // The walk runs the converter found beside the program first.
  fs::copy_file(test_support::TumblebenchPath(), bin.File("tumblebench"));
  test_support::WriteFile(bin.File("kfall_label"),
                          "#!/bin/sh\n"
                          "p=$PPID\n"
                          "while [ \"$p\" -gt 1 ]; do\n"
                          "  if [ \"$(cat /proc/$p/comm)\" = tumblebench ]; then kill -KILL $p; exit 0; fi\n"
                          "  p=$(cut -d' ' -f4 /proc/$p/stat)\n"
                          "done\n");
  fs::permissions(bin.File("kfall_label"), fs::perms::owner_all);
  Generate(root.path(), "");
  Generate(reference.path(), "");
  fs::remove(root.path() / "SA02" / "SA02_all.csv");
  fs::remove_all(reference.path() / "SA02");

  const Walk walk = RunWalk(root.path(), bin.File("tumblebench"), "-r", "2");
  const Walk without = RunWalk(reference.path(), bin.File("tumblebench"), "-r", "1");
  EXPECT_EQ(walk.status, 4);
  EXPECT_NE(walk.err.find("tumblebench: SA02, the worker for this subject was ended by signal 9"),
            std::string::npos)
      << walk.err;
  EXPECT_NE(walk.err.find("the report is incomplete"), std::string::npos);
  // The other subjects, and nothing of SA02, in the report.
  EXPECT_EQ(walk.out, without.out);
}

// A starter that ignores SIGCHLD passes that on through exec; the workers
// must still be seen to end, or every subject is lost.
TEST(ParallelWalk, AnIgnoredChildSignalLosesNoSubject) {
  int status = -1;
  RunCommand("env --ignore-signal=CHLD true 2>/dev/null", &status);
  if (status != 0) GTEST_SKIP() << "this env cannot start a program with SIGCHLD ignored";
  TempDir serial_root, parallel_root;
  Generate(serial_root.path(), "");
  Generate(parallel_root.path(), "");
  const Walk serial = RunWalk(serial_root.path(), test_support::TumblebenchPath(), "-r", "1");
  const Walk ignoring =
      RunWalk(parallel_root.path(), test_support::TumblebenchPath(), "-r", "2", "env --ignore-signal=CHLD");
  EXPECT_EQ(ignoring.status, 0) << ignoring.err;
  EXPECT_EQ(ignoring.err, serial.err);
  EXPECT_EQ(ignoring.out, serial.out);
}

// Workers held the descriptors of every other subject's output, so under a
// low limit their replays found no descriptor left: recordings were lost
// with exit status 0. Each worker now holds only its own.
TEST(ParallelWalk, ALowDescriptorLimitLosesNoRecording) {
  TempDir serial_root, parallel_root;
  Generate(serial_root.path(), "");
  Generate(parallel_root.path(), "");
  const Walk serial = RunWalk(serial_root.path(), test_support::TumblebenchPath(), "-r", "1");
  // The limit is set in a shell of its own, past every redirection, once
  // any descriptor the test itself was given (a test runner's log) is
  // closed.
  const Walk limited = RunWalk(parallel_root.path(), test_support::TumblebenchPath(), "-r", "4",
                               "sh -c 'for fd in 3 4 5 6 7 8 9; do eval \"exec $fd>&-\"; done; "
                               "ulimit -n 8 && exec \"$0\" \"$@\"'");
  EXPECT_EQ(limited.status, 0) << limited.err;
  EXPECT_EQ(limited.err, serial.err);
  EXPECT_EQ(limited.out, serial.out);
  EXPECT_TRUE(limited.traces == serial.traces);
}

// `tumblebench -r | head`: the run ends when its standard output goes, and
// its workers with it, rather than go on writing traces for nobody. This
// process adopts whatever the run leaves behind, so an orphaned worker
// shows as a child of its own.
TEST(ParallelWalk, AClosedStandardOutputEndsTheWorkersToo) {
  TempDir root, status_dir;
  Generate(root.path(), "");
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  int pipeline_status = -1;
  RunCommand("cd '" + root.path().string() + "' && { TUMBLEBENCH_JOBS=2 '" + test_support::TumblebenchPath() +
                 "' -r 2>/dev/null; echo $? > '" + status_dir.File("status") + "'; } | head -c100 >/dev/null",
             &pipeline_status);
  int orphans = 0;
  for (pid_t pid; (pid = waitpid(-1, nullptr, 0)) > 0;) ++orphans;
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_EQ(orphans, 0) << "processes of the run outlived it";
  // Ended by SIGPIPE, as one process writing to the closed pipe would be.
  EXPECT_EQ(ReadFile(status_dir.File("status")), std::to_string(128 + SIGPIPE) + "\n");
}

// When no subject's results could be had, the walk names each subject, and
// does not claim to have found no subject folder.
TEST(ParallelWalk, AWalkWhoseEverySubjectFailedSaysSo) {
  TempDir bin, root;
  fs::copy_file(test_support::TumblebenchPath(), bin.File("tumblebench"));
  test_support::WriteFile(bin.File("kfall_label"),
                          "#!/bin/sh\n"
                          "p=$PPID\n"
                          "while [ \"$p\" -gt 1 ]; do\n"
                          "  if [ \"$(cat /proc/$p/comm)\" = tumblebench ]; then kill -KILL $p; exit 0; fi\n"
                          "  p=$(cut -d' ' -f4 /proc/$p/stat)\n"
                          "done\n");
  fs::permissions(bin.File("kfall_label"), fs::perms::owner_all);
  for (const char* subject : {"SA01", "SA02"}) fs::create_directories(root.path() / subject);

  const Walk walk = RunWalk(root.path(), bin.File("tumblebench"), "-r", "2");
  EXPECT_EQ(walk.status, 4);
  for (const char* subject : {"SA01", "SA02"}) {
    EXPECT_NE(walk.err.find(std::string("tumblebench: ") + subject + ", the worker for this subject was ended by signal 9"),
              std::string::npos)
        << walk.err;
  }
  EXPECT_EQ(walk.err.find("no subject folder here"), std::string::npos) << walk.err;
  EXPECT_EQ(walk.err.find("subject folders are in"), std::string::npos) << walk.err;
}

TEST(ParallelWalk, AJobCountThatIsNoNumberIsNamed) {
  TempDir root;
  const Walk walk = RunWalk(root.path(), test_support::TumblebenchPath(), "-r", "two");
  EXPECT_EQ(walk.status, 0);
  EXPECT_NE(walk.err.find("TUMBLEBENCH_JOBS=two is not a number of workers"), std::string::npos) << walk.err;
}

}  // namespace
