#include "harness/walk_subjects.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "harness/file_utils.h"
#include "harness/label_file.h"
#include "harness/label_tool.h"
#include "harness/missing_results.h"
#include "harness/subject_workers.h"

namespace fs = std::filesystem;

namespace {

constexpr char kSeparator = static_cast<char>(fs::path::preferred_separator);
constexpr int kLabelNameBufferSize = 1024;

bool FormChildPath(const char* root, const char* name, char* buffer, int size) {
  const size_t root_length = std::strlen(root);
  const bool has_separator = root_length > 0 && root[root_length - 1] == kSeparator;
  const int length = has_separator
                         ? std::snprintf(buffer, static_cast<size_t>(size), "%s%s", root, name)
                         : std::snprintf(buffer, static_cast<size_t>(size), "%s%c%s", root,
                                         kSeparator, name);
  return length >= 0 && length < size;
}

std::string AbsoluteRoot(const char* root) {
  std::error_code error;
  const fs::path absolute = fs::absolute(fs::path(root), error);
  return error ? std::string(root) : absolute.string();
}

void RunKFallSubject(const char* subject, void* context) {
  const int label_type = *static_cast<const int*>(context);
  char label[kLabelNameBufferSize];
  if (!FormKFallLabelName(subject, label_type, label, sizeof(label))) return;
  if (!IsFileReadable(label)) RunLabelTool(subject);
  if (RunKFallLabelFile(label) != 0 && !IsFileReadable(label)) {
    std::fprintf(stderr, "tumblebench: %s%c%s, no label file; subject skipped.\n", subject,
                 kSeparator, label);
  }
}

void RunDeviceSubject(const char* subject, void* /*context*/) {
  char label[kLabelNameBufferSize];
  if (!FormDeviceLabelName(subject, label, sizeof(label))) return;
  if (RunDeviceLabelFile(label) != 0 && !IsFileReadable(label)) {
    std::fprintf(stderr, "tumblebench: %s%c%s, no label file; subject skipped.\n", subject,
                 kSeparator, label);
  }
}

}  // namespace

bool IsSubjectFolderName(const char* name) {
  return std::strlen(name) == 4 && std::strncmp(name, "SA", 2) == 0;
}

bool FormKFallLabelName(const char* subject, int label_type, char* buffer, int size) {
  const char* suffix = label_type == kLabelTypeDown ? "down"
                       : label_type == kLabelTypeAdl ? "adl"
                                                     : "all";
  const int length = std::snprintf(buffer, static_cast<size_t>(size), "%s_%s.csv", subject, suffix);
  return length >= 0 && length < size;
}

bool FormDeviceLabelName(const char* folder_name, char* buffer, int size) {
  const int length =
      std::snprintf(buffer, static_cast<size_t>(size), "%s_device.csv", folder_name);
  return length >= 0 && length < size;
}

int VisitSubjectFolders(const char* root, SubjectVisitor visit, void* context) {
  // Subject folders are entered by absolute path: after the first one, a
  // relative root would point somewhere else.
  const std::string absolute_root = AbsoluteRoot(root);
  std::error_code error;
  fs::directory_iterator search(absolute_root, error);
  if (error) {
    std::fprintf(stderr, "tumblebench: %s, the folder cannot be searched (%s); skipped.\n",
                 absolute_root.c_str(), error.message().c_str());
    NoteFileNotOpened(error.value());
    return -1;
  }

  std::error_code cwd_error;
  const fs::path start_dir = fs::current_path(cwd_error);

  // The subject folders in the order of the search; they are entered when
  // their turn comes, by this process or by a worker.
  std::vector<SubjectFolder> subjects;
  char szFindPath[kFindPathBufferSize];
  for (const fs::directory_iterator end; search != end; search.increment(error)) {
    if (error) break;
    const std::string name = search->path().filename().string();
    std::error_code type_error;
    if (!search->is_directory(type_error)) {
      // A subject folder that went away since the search listed it.
      if (type_error && IsSubjectFolderName(name.c_str())) {
        std::fprintf(stderr, "tumblebench: %s%c%s, cannot be examined (%s); skipped.\n",
                     absolute_root.c_str(), kSeparator, name.c_str(), type_error.message().c_str());
      }
      continue;
    }
    if (name == "." || name == ".." || !IsSubjectFolderName(name.c_str())) continue;
    if (!FormChildPath(absolute_root.c_str(), name.c_str(), szFindPath, sizeof(szFindPath))) {
      std::fprintf(stderr, "tumblebench: %s%c%s, path longer than %d bytes; subject skipped.\n",
                   absolute_root.c_str(), kSeparator, name.c_str(), kFindPathBufferSize - 1);
      continue;
    }
    subjects.push_back({name, szFindPath});
  }
  // A search that breaks off ends the loop as if it were complete.
  if (error) {
    std::fprintf(stderr,
                 "tumblebench: %s, the folder search broke off (%s); the subjects after it are "
                 "missing.\n",
                 absolute_root.c_str(), error.message().c_str());
  }
  // The search's descriptor is not to be handed down to the workers.
  search = fs::directory_iterator();

  RunSubjects(subjects, visit, context, WalkJobs());

  // Relative paths used after the walk keep meaning what they meant before it.
  if (!cwd_error) fs::current_path(start_dir, cwd_error);
  return static_cast<int>(subjects.size());
}

void ReportNoSubjectFolders(const char* root) {
  std::fprintf(stderr,
               "tumblebench: %s, no subject folder here (a subject folder is a folder directly in the "
               "current directory whose name has four characters and begins with \"SA\", such as "
               "SA06).\n",
               root);
  // The usual slip: starting one level above the subject folders.
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
       !error && it != end; it.increment(error)) {
    if (it.depth() >= 2) {
      it.disable_recursion_pending();
      continue;
    }
    std::error_code type_error;
    // Subject folders directly in root would have been found by the walk
    // (they vanished since, or could not be run, and are named already).
    if (it.depth() >= 1 && it->is_directory(type_error) &&
        IsSubjectFolderName(it->path().filename().string().c_str())) {
      std::fprintf(stderr, "tumblebench: subject folders are in %s; run the walk there.\n",
                   it->path().parent_path().string().c_str());
      return;
    }
  }
}

int WalkKFallSubjects(const char* root, int label_type) {
  if (VisitSubjectFolders(root, RunKFallSubject, &label_type) == 0) ReportNoSubjectFolders(root);
  return 0;
}

int WalkDeviceSubjects(const char* root, int /*unused*/) {
  // The root may hold recordings of its own, listed like a subject's.
  const std::string absolute_root = AbsoluteRoot(root);
  std::error_code error;
  const fs::path start_dir = fs::current_path(error);
  bool root_label_found = false;
  if (ChangeDir(absolute_root.c_str())) {
    fs::path root_path(absolute_root);
    if (root_path.filename().empty()) root_path = root_path.parent_path();
    const std::string root_name = root_path.filename().string();
    char label[kLabelNameBufferSize];
    if (FormDeviceLabelName(root_name.c_str(), label, sizeof(label))) {
      root_label_found = RunDeviceLabelFile(label) == 0;
    }
    if (!error) fs::current_path(start_dir, error);
  }
  if (VisitSubjectFolders(absolute_root.c_str(), RunDeviceSubject, nullptr) == 0 && !root_label_found) {
    ReportNoSubjectFolders(absolute_root.c_str());
  }
  return 0;
}
