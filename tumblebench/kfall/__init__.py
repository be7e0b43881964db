"""Every fact of KFall and of its layout that the tools rely on, in one
place: the activity types and which are falls (tasks, from tasks.tsv, the
file the harness's table is built from), the sample rates and the halving
of label frames (rates), the names of subject folders, trial files, label
files and traces (names), the label spreadsheets (spreadsheets), the label
files (label_files) and the subject and recording tables (tables).

Nothing here needs more than the standard library; the spreadsheets need
openpyxl, imported only when one is read."""

from .names import (LABEL_DATA, LABEL_KINDS, MAX_TRIAL, SENSOR_DATA, TRACE_SUFFIX, is_subject_folder, label_file_name,  # noqa: F401
                    label_file_subject, name_parts, recording_key, recording_name, recording_of_trace,
                    recording_prefix, subject_number, task_code, trace_name, trial_file_parts)
from .rates import (MS_PER_SAMPLE, RECORDING_RATE_PER_S, SAMPLES_PER_SECOND, SECONDS_PER_HOUR,  # noqa: F401
                    stream_frame)
from .tasks import (FALL_TASKS, FIRST_FALL_TASK, FIRST_TASK, LAST_FALL_TASK, LAST_TASK, TASK_NAMES, is_fall, task_class, task_name,  # noqa: F401
                    type_label)
