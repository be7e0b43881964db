#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::ReadLines;
using test_support::RunCommand;
using test_support::TempDir;
using test_support::TumblebenchPath;
using test_support::WriteFile;

const char kHeader[] =
    "Task Code (Task ID),Description,Trial ID,Fall_onset_frame,Fall_impact_frame";
const char kSheetHeader[] =
    "('Task Code (Task ID)', 'Description', 'Trial ID', 'Fall_onset_frame', 'Fall_impact_frame')";

// The converter as the build places it, beside tumblebench.
std::string ConverterPath() { return (fs::path(TumblebenchPath()).parent_path() / "kfall_label").string(); }

fs::path SharedKFall() { return fs::path(TUMBLEBENCH_SOURCE_DIR) / ".." / "shared" / "kfall"; }

bool HaveOpenpyxl() {
  int status = -1;
  RunCommand("/usr/bin/python3 -c 'import openpyxl' 2>/dev/null", &status);
  return status == 0;
}

struct Workbook {
  fs::path path;
  std::vector<std::string> rows;  // Python tuples, one per row
};

// Saves one-sheet workbooks, all in one interpreter run (openpyxl is slow to load).
void WriteWorkbooks(const std::vector<Workbook>& books) {
  TempDir scratch;
  std::string script = "import openpyxl\n";
  for (const Workbook& book : books) {
    script += "wb = openpyxl.Workbook()\nws = wb.active\n";
    for (const std::string& row : book.rows) script += "ws.append(" + row + ")\n";
    script += "wb.save(r'''" + book.path.string() + "''')\n";
  }
  WriteFile(scratch.File("make.py"), script);
  int status = -1;
  RunCommand("/usr/bin/python3 '" + scratch.File("make.py") + "'", &status);
  ASSERT_EQ(status, 0) << "could not build the workbooks";
}

void WriteWorkbook(const fs::path& path, const std::vector<std::string>& rows) {
  WriteWorkbooks({{path, rows}});
}

struct ToolRun {
  int status;
  std::string err;
};

// Runs the converter the way the walk does: in the subject folder.
ToolRun RunConverter(const fs::path& folder, const std::string& args, const std::string& env = "") {
  TempDir scratch;
  ToolRun run{-1, ""};
  RunCommand("cd '" + folder.string() + "' && " + env + " '" + ConverterPath() + "' " + args +
                 " 2>'" + scratch.File("err") + "'",
             &run.status);
  run.err = ReadFile(scratch.File("err"));
  return run;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class KFallLabelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveOpenpyxl()) GTEST_SKIP() << "/usr/bin/python3 with openpyxl (python3-openpyxl) is absent";
    ASSERT_TRUE(fs::exists(ConverterPath())) << ConverterPath();
    subject_ = dir_.path() / "sensor_data" / "SA06";
    labels_ = dir_.path() / "label_data";
    fs::create_directories(subject_);
    fs::create_directories(labels_);
    for (const char* name : {"S06T01R01.csv", "S06T02R01.csv", "S06T02R03.csv", "S06T20R01.csv",
                             "S06T20R02.csv", "S06T25R02.csv", "S06T25R03.csv",
                             // Not trial files of this subject:
                             "S06T20R01_DSV.csv", "S07T01R01.csv", "notes.txt", "S06T03R1.csv"}) {
      WriteFile((subject_ / name).string(), "");
    }
  }

  // The spreadsheet as KFall lays it out: code and description on the first
  // row of each block only, a number stored as text and one as a float.
  void WriteTypicalWorkbook(const fs::path& path) {
    WriteWorkbook(path, {kSheetHeader, "('F01 (20)', 'Forward fall when trying to sit down', 1, 130, 208)",
                         "(None, None, 2, 184.0, '272')",
                         "('F06 (25)', 'Forward fall while sitting, caused by fainting', 2, 116, 220)",
                         "(None, None, 3, 93, 179)"});
  }

  std::string Label(const std::string& kind) {
    return ReadFile((subject_ / ("SA06_" + kind + ".csv")).string());
  }

  TempDir dir_;
  fs::path subject_;
  fs::path labels_;
};

const std::string kDown = std::string(kHeader) +
                          "\n"
                          "S06T20,Forward fall when trying to sit down,1,130,208\n"
                          "S06T20,Forward fall when trying to sit down,2,184,272\n"
                          "S06T25,\"Forward fall while sitting, caused by fainting\",2,116,220\n"
                          "S06T25,\"Forward fall while sitting, caused by fainting\",3,93,179\n";
const std::string kAdl = std::string(kHeader) +
                         "\n"
                         "S06T01,Stand for 30s,1,0,0\n"
                         "S06T02,\"Stand, slowly bend the back with or without bending at knees, tie "
                         "shoe lace, and get up\",1,0,0\n"
                         "S06T02,\"Stand, slowly bend the back with or without bending at knees, tie "
                         "shoe lace, and get up\",3,0,0\n";

TEST_F(KFallLabelTest, WritesTheThreeLabelFilesFromTheDownloadLayout) {
  WriteTypicalWorkbook(labels_ / "SA06_label.xlsx");
  const ToolRun run = RunConverter(subject_, "SA06_down.csv");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Label("down"), kDown);
  EXPECT_EQ(Label("adl"), kAdl);
  // All trials, by task and trial.
  const std::vector<std::string> all = ReadLines((subject_ / "SA06_all.csv").string());
  ASSERT_EQ(all.size(), 8u);
  EXPECT_EQ(all[1], "S06T01,Stand for 30s,1,0,0");
  EXPECT_EQ(all[4], "S06T20,Forward fall when trying to sit down,1,130,208");
  EXPECT_EQ(all[7], "S06T25,\"Forward fall while sitting, caused by fainting\",3,93,179");
}

TEST_F(KFallLabelTest, FindsTheSpreadsheetWhereverItIsNamed) {
  TempDir elsewhere;
  const fs::path other = elsewhere.path() / "sheets";
  fs::create_directories(other);
  struct Place {
    const char* what;
    fs::path workbook;
    std::string args;
    std::string env;
  } places[] = {
      {"in the folder", subject_ / "SA06_label.xlsx", "SA06_down.csv", ""},
      {"next to the folder", subject_.parent_path() / "SA06_label.xlsx", "SA06_adl.csv", ""},
      {"environment, folder", other / "SA06_label.xlsx", "SA06_down.csv",
       "KFALL_LABEL_DATA='" + other.string() + "'"},
      {"option, file", other / "any.xlsx", "--labels '" + (other / "any.xlsx").string() + "' SA06_all.csv",
       ""},
  };
  const fs::path typical = elsewhere.path() / "typical.xlsx";
  WriteTypicalWorkbook(typical);
  for (const Place& place : places) {
    SCOPED_TRACE(place.what);
    fs::copy_file(typical, place.workbook);
    const ToolRun run = RunConverter(subject_, place.args, place.env);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Label("down"), kDown);
    fs::remove(place.workbook);
    for (const char* kind : {"down", "adl", "all"}) fs::remove(subject_ / ("SA06_" + std::string(kind) + ".csv"));
  }
}

TEST_F(KFallLabelTest, BadSpreadsheetsFailClearlyAndWriteNothing) {
  struct Case {
    const char* what;
    std::vector<std::string> rows;  // empty: a file that is no workbook at all
    const char* message;
  } cases[] = {
      {"not a workbook", {}, "cannot be read as an xlsx workbook"},
      {"column missing",
       {"('Task Code (Task ID)', 'Description', 'Trial ID', 'Fall_onset_frame')",
        "('F01 (20)', 'd', 1, 130)"},
       "lacks the column(s) \"Fall_impact_frame\""},
      {"trial before any code", {kSheetHeader, "(None, None, 1, 130, 208)"},
       "row 2: a trial before the first task code"},
      {"code without task ID", {kSheetHeader, "('F01', 'd', 1, 130, 208)"}, "has no task ID"},
      {"frame not a number", {kSheetHeader, "('F01 (20)', 'd', 1, 'soon', 208)"},
       "row 2: the onset frame 'soon' is not a whole number"},
      {"empty frame", {kSheetHeader, "('F01 (20)', 'd', 1, 130, None)"}, "the impact frame is empty"},
      {"fractional trial", {kSheetHeader, "('F01 (20)', 'd', 1.5, 130, 208)"}, "not a whole number"},
      {"trial listed twice",
       {kSheetHeader, "('F01 (20)', 'd', 1, 130, 208)", "(None, None, 1, 131, 209)"},
       "task 20, trial 1 is listed twice"},
      {"empty sheet", {"()"}, "the sheet is empty"},
  };
  std::vector<Workbook> books;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const fs::path path = labels_ / ("case" + std::to_string(i) + ".xlsx");
    if (cases[i].rows.empty()) {
      WriteFile(path.string(), "Task Code (Task ID),Description\n");
    } else {
      books.push_back({path, cases[i].rows});
    }
  }
  WriteWorkbooks(books);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    const fs::path path = labels_ / ("case" + std::to_string(i) + ".xlsx");
    const ToolRun run = RunConverter(subject_, "--labels '" + path.string() + "' SA06_down.csv");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Contains(run.err, "kfall_label: ")) << run.err;
    EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    EXPECT_FALSE(fs::exists(subject_ / "SA06_down.csv"));
    EXPECT_FALSE(fs::exists(subject_ / "SA06_all.csv"));
  }

  ToolRun run = RunConverter(subject_, "SA06_down.csv");
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "SA06_label.xlsx not found")) << run.err;
  run = RunConverter(subject_, "SA06_down.csv", "KFALL_LABEL_DATA=/nonexistent/sheets");
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "(from KFALL_LABEL_DATA) does not exist")) << run.err;
  run = RunConverter(subject_, "labels.csv");
  EXPECT_EQ(run.status, 2);  // nothing done: the status every research command gives bad arguments
  EXPECT_TRUE(Contains(run.err, "like SA06_down.csv")) << run.err;
}

TEST_F(KFallLabelTest, ExistingFilesAreKeptUnlessForced) {
  WriteTypicalWorkbook(labels_ / "SA06_label.xlsx");
  const std::string edited = std::string(kHeader) + "\nS06T20,kept by hand,1,1,2\n";
  WriteFile((subject_ / "SA06_down.csv").string(), edited);
  ToolRun run = RunConverter(subject_, "SA06_adl.csv");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, "SA06_down.csv exists and is kept")) << run.err;
  EXPECT_EQ(Label("down"), edited);
  EXPECT_EQ(Label("adl"), kAdl);
  run = RunConverter(subject_, "--force SA06_down.csv");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Label("down"), kDown);
}

TEST_F(KFallLabelTest, UnmatchedTrialsAreKeptWithAWarning) {
  // Trial 5 has no recording; S06T20R02 and S06T25R0x have no label.
  WriteWorkbook(labels_ / "SA06_label.xlsx",
                {kSheetHeader, "('F01 (20)', 'Forward fall', 1, 130, 208)", "(None, None, 5, 10, 20)"});
  const ToolRun run = RunConverter(subject_, "SA06_down.csv");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, "S06T20R05.csv is in the spreadsheet but not in this folder")) << run.err;
  EXPECT_TRUE(Contains(run.err, "S06T25R02.csv is a fall without a label")) << run.err;
  const std::vector<std::string> down = ReadLines((subject_ / "SA06_down.csv").string());
  ASSERT_EQ(down.size(), 6u);
  EXPECT_EQ(down[2], "S06T20,Forward fall,2,0,0");
  EXPECT_EQ(down[3], "S06T20,Forward fall,5,10,20");
}

// A line break typed into a description cell (Alt+Enter) would come out as a
// quoted field over two lines, which the harness reads as two broken lines.
TEST_F(KFallLabelTest, LineBreaksInDescriptionsBecomeSpaces) {
  WriteWorkbook(labels_ / "SA06_label.xlsx",
                {kSheetHeader, "('F01 (20)', 'Forward fall\\nwhen trying to sit down', 1, 130, 208)",
                 "('F06 (25)', 'Forward fall while sitting,\\r\\ncaused by fainting', 2, 116, 220)"});
  const ToolRun run = RunConverter(subject_, "SA06_down.csv");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Label("down"), std::string(kHeader) +
                               "\n"
                               "S06T20,Forward fall when trying to sit down,1,130,208\n"
                               "S06T20,Forward fall when trying to sit down,2,0,0\n"
                               "S06T25,\"Forward fall while sitting, caused by fainting\",2,116,220\n"
                               "S06T25,\"Forward fall while sitting, caused by fainting\",3,0,0\n");
}

// --- The real KFall spreadsheets and recordings ------------------------------

class RealKFallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(SharedKFall() / "unpack.sh")) {
      GTEST_SKIP() << "the KFall recordings (" << SharedKFall() << ") are absent";
    }
    if (!HaveOpenpyxl()) GTEST_SKIP() << "/usr/bin/python3 with openpyxl (python3-openpyxl) is absent";
  }

  void Unpack(const std::vector<std::string>& subjects) {
    std::string command = "'" + (SharedKFall() / "unpack.sh").string() + "' '" + dir_.path().string() + "'";
    for (const std::string& s : subjects) command += " " + s;
    int status = -1;
    RunCommand(command + " >/dev/null", &status);
    ASSERT_EQ(status, 0) << command;
  }

  TempDir dir_;
};

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// SxxTyyRzz.csv, with two or more trial digits.
bool IsTrialFileName(const std::string& name) {
  if (name.size() < 13 || name.compare(name.size() - 4, 4, ".csv") != 0) return false;
  return name[0] == 'S' && AllDigits(name.substr(1, 2)) && name[3] == 'T' &&
         AllDigits(name.substr(4, 2)) && name[6] == 'R' && AllDigits(name.substr(7, name.size() - 11));
}

std::set<std::string> TrialFiles(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (IsTrialFileName(name)) names.insert(name);
  }
  return names;
}

// The last three fields of a label row: trial, onset, impact.
bool TrailingNumbers(const std::string& line, int* trial, int* onset, int* impact) {
  const size_t last = line.rfind(',');
  if (last == std::string::npos || last == 0) return false;
  const size_t before = line.rfind(',', last - 1);
  if (before == std::string::npos || before == 0) return false;
  const size_t trial_comma = line.rfind(',', before - 1);
  if (trial_comma == std::string::npos) return false;
  const std::string fields[3] = {line.substr(trial_comma + 1, before - trial_comma - 1),
                                 line.substr(before + 1, last - before - 1), line.substr(last + 1)};
  for (const std::string& field : fields) {
    if (!AllDigits(field)) return false;
  }
  *trial = std::stoi(fields[0]);
  *onset = std::stoi(fields[1]);
  *impact = std::stoi(fields[2]);
  return true;
}

// The recording names a label file lists, as the harness forms them.
std::vector<std::string> ListedRecordings(const fs::path& label_file) {
  std::vector<std::string> names;
  const std::vector<std::string> lines = ReadLines(label_file.string());
  for (size_t i = 1; i < lines.size(); ++i) {
    int trial = 0, onset = 0, impact = 0;
    if (!TrailingNumbers(lines[i], &trial, &onset, &impact)) {
      ADD_FAILURE() << label_file << ": " << lines[i];
      continue;
    }
    char name[64];
    std::snprintf(name, sizeof(name), "%sR%02d.csv", lines[i].substr(0, lines[i].find(',')).c_str(),
                  trial);
    names.push_back(name);
  }
  return names;
}

TEST_F(RealKFallTest, EverySpreadsheetConverts) {
  Unpack({"SA06"});
  // The converter's own reading of all 24 sheets in one interpreter run: each
  // sheet's fall rows as the down file would hold them, after a "#SAxx" line.
  TempDir scratch;
  WriteFile(scratch.File("all_sheets.py"),
            "import csv, glob, os, sys\n"
            "from tumblebench.kfall import kfall_label, spreadsheets\n"
            "for path in sorted(glob.glob(os.path.join(sys.argv[1], 'SA??_label.xlsx'))):\n"
            "    subject = os.path.basename(path)[:4]\n"
            "    down, adl, every = kfall_label.label_rows(subject, spreadsheets.read_spreadsheet(path), set())\n"
            "    print('#' + subject)\n"
            "    csv.writer(sys.stdout, lineterminator='\\n').writerows(down)\n");
  int status = -1;
  const std::string out =
      RunCommand("PYTHONPATH='" TUMBLEBENCH_SOURCE_DIR "' /usr/bin/python3 '" + scratch.File("all_sheets.py") +
                     "' '" + (SharedKFall() / "label_data").string() + "' 2>/dev/null",
                 &status);
  ASSERT_EQ(status, 0);
  std::map<std::string, int> rows_per_sheet;
  std::string subject;
  std::string line;
  for (size_t at = 0, end; at < out.size(); at = end + 1) {
    end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    line = out.substr(at, end - at);
    if (line.empty()) continue;
    if (line[0] == '#') {
      subject = line.substr(1);
      rows_per_sheet[subject] = 0;
      continue;
    }
    SCOPED_TRACE(subject);
    // Fall tasks only, whole-number frames, onset before impact.
    const std::string prefix = "S" + subject.substr(2) + "T";
    ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
    const std::string task = line.substr(prefix.size(), line.find(',') - prefix.size());
    ASSERT_TRUE(AllDigits(task) && task.size() == 2) << line;
    EXPECT_GE(std::stoi(task), 20) << line;
    EXPECT_LE(std::stoi(task), 34) << line;
    int trial = 0, onset = 0, impact = 0;
    ASSERT_TRUE(TrailingNumbers(line, &trial, &onset, &impact)) << line;
    EXPECT_LT(onset, impact) << line;
    ++rows_per_sheet[subject];
  }
  EXPECT_EQ(rows_per_sheet.size(), 24u);
  for (const auto& sheet : rows_per_sheet) EXPECT_GT(sheet.second, 50) << sheet.first;

  // Against the subject's own folder: every recording is listed exactly once.
  const fs::path sa06 = dir_.path() / "sensor_data" / "SA06";
  const ToolRun run = RunConverter(sa06, "SA06_down.csv");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");  // the real layout needs no warning
  const std::vector<std::string> all = ListedRecordings(sa06 / "SA06_all.csv");
  const std::set<std::string> listed(all.begin(), all.end());
  EXPECT_EQ(listed.size(), all.size());
  EXPECT_EQ(listed, TrialFiles(sa06));
  const std::vector<std::string> down = ReadLines((sa06 / "SA06_down.csv").string());
  EXPECT_EQ(down[1], "S06T20,Forward fall when trying to sit down,1,130,208");
  // S06T25 starts at trial 2 and carries its code down.
  EXPECT_TRUE(Contains(ReadFile((sa06 / "SA06_down.csv").string()),
                       "S06T24,lateral fall when trying to get up,5,222,288\n"
                       "S06T25,\"Forward fall while sitting, caused by fainting\",2,116,220\n"));
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// tp + tn + fp + fn as the report prints them; -1 when it cannot be read.
int ReportedRecordings(const std::string& out) {
  int tn = -1, fp = -1, tp = -1, fn = -1;
  const size_t adl = out.find("# ADL STAT: ");
  const size_t down = out.find("# DOWN STAT: ");
  const size_t fn_at = out.find("}, fn ", down == std::string::npos ? 0 : down);
  if (adl == std::string::npos || down == std::string::npos || fn_at == std::string::npos) return -1;
  if (std::sscanf(out.c_str() + adl, "# ADL STAT: tn %d(%*[^)]), fp %d(", &tn, &fp) != 2 ||
      std::sscanf(out.c_str() + down, "# DOWN STAT: tp %d(", &tp) != 1 ||
      std::sscanf(out.c_str() + fn_at, "}, fn %d(", &fn) != 1) {
    return -1;
  }
  return tp + tn + fp + fn;
}

TEST_F(RealKFallTest, WalksCoverEveryTrial) {
  const std::vector<std::string> subjects = {"SA06", "SA12"};
  Unpack(subjects);
  const fs::path root = dir_.path() / "sensor_data";
  std::map<std::string, std::set<std::string>> recordings;
  for (const std::string& s : subjects) recordings[s] = TrialFiles(root / s);

  const struct {
    const char* argument;
    const char* kind;
  } forms[] = {{"-r", "all"}, {"-r1", "down"}, {"-r2", "adl"}};
  std::map<std::string, size_t> per_kind;
  for (const auto& form : forms) {
    SCOPED_TRACE(form.argument);
    // Each form starts without label files, so each runs the converter.
    for (const std::string& s : subjects) {
      for (const char* kind : {"down", "adl", "all"}) fs::remove(root / s / (s + "_" + kind + ".csv"));
    }
    int status = -1;
    const std::string out = RunCommand(
        "cd '" + root.string() + "' && '" + TumblebenchPath() + "' " + form.argument + " 2>&1", &status);
    EXPECT_EQ(status, 0);
    size_t listed = 0;
    for (const std::string& s : subjects) {
      const fs::path label = root / s / (s + "_" + form.kind + ".csv");
      ASSERT_TRUE(fs::exists(label)) << out.substr(0, 2000);
      for (const std::string& name : ListedRecordings(label)) {
        EXPECT_EQ(recordings[s].count(name), 1u) << name;
        ++listed;
      }
    }
    EXPECT_EQ(Count(out, "not found."), 0u);
    EXPECT_EQ(Count(out, "invalid string"), 0u);
    const size_t results = Count(out, "\nresult ");
    EXPECT_EQ(static_cast<int>(results), ReportedRecordings(out));
    EXPECT_EQ(results, listed);
    // Falls only in the down files, daily activities only in the ADL files.
    const size_t adl_results = Count(out, " -> tn\n") + Count(out, " -> fp [");
    const std::string kind = form.kind;
    if (kind == "down") {
      EXPECT_EQ(adl_results, 0u);
    }
    if (kind == "adl") {
      EXPECT_EQ(adl_results, results);
    }
    per_kind[form.kind] = listed;
  }
  size_t files = 0;
  for (const auto& subject : recordings) files += subject.second.size();
  EXPECT_EQ(per_kind["all"], files);
  EXPECT_EQ(per_kind["down"] + per_kind["adl"], files);
}

}  // namespace
