"""SisFall (Sucerquia, Lopez and Vargas-Bonilla, Sensors 17(1):198, 2017) as KFall trials.

The download holds SisFall_dataset/<subject>/<code>_<subject>_R<nn>.txt: one
activity per file, 200 samples per second, nine comma-separated raw counts per
line ending with ";": ADXL345 acceleration x, y, z; ITG3200 angular rate x,
y, z; MMA8451Q acceleration x, y, z. The device sits at the waist and its axes
point as those of KFall's low-back sensor do (gravity on -y when upright), so
the axes are taken as they are. The ADXL345 and the ITG3200 become KFall's
AccX..Z and GyrX..Z; the MMA8451Q is read only to check the line.

This file holds everything SisFall-specific: the activity table and how it
maps onto KFall's tasks, the subject table, the names the subjects get, the
file reader and the units. kfall_layout writes the result.
"""

import os
import re
from dataclasses import dataclass

import numpy as np

from ..kfall import label_files
from . import kfall_layout, resample, source_files
from .source_files import InputError, MalformedFile

DATASET = "SisFall"
DATASET_FOLDER = "SisFall_dataset"
RATE_PER_S = 200
DECIMATION_FACTOR = RATE_PER_S // kfall_layout.RATE_PER_S

# Units, from the data set's Readme: a count is (2 * range) / 2^resolution.
ADXL345_G_PER_COUNT = 2 * 16 / 2 ** 13          # 13 bits over +-16 g: 1/256 g
ITG3200_DPS_PER_COUNT = 2 * 2000 / 2 ** 16      # 16 bits over +-2000 deg/s
# The counts each column can hold (ADXL345 13 bits, ITG3200 16, MMA8451Q 14);
# anything else is a damaged line, not a reading.
COLUMN_COUNT_RANGES = ((-2 ** 12, 2 ** 12 - 1),) * 3 + ((-2 ** 15, 2 ** 15 - 1),) * 3 + \
                      ((-2 ** 13, 2 ** 13 - 1),) * 3
COLUMNS = len(COLUMN_COUNT_RANGES)


@dataclass(frozen=True)
class Activity:
    code: str
    description: str     # SisFall's own name for it
    task: int            # the KFall task it is replayed as
    no_twin: str = ""    # for activities KFall does not have: why this task is the nearest


# The one table of the mapping; docs/sisfall.md shows it and a test holds the
# two together. Codes sharing a KFall task get trial numbers TRIAL_OFFSET_STEP
# apart, in the order they appear here (trial_offset).
ACTIVITIES = (
    Activity("D01", "Walking slowly", 6),
    Activity("D02", "Walking quickly", 7),
    Activity("D03", "Jogging slowly", 8),
    Activity("D04", "Jogging quickly", 9),
    Activity("D05", "Walking upstairs and downstairs slowly", 35),
    Activity("D06", "Walking upstairs and downstairs quickly", 36),
    Activity("D07", "Slowly sit in a half height chair, wait a moment, and up slowly", 13),
    Activity("D08", "Quickly sit in a half height chair, wait a moment, and up quickly", 14),
    Activity("D09", "Slowly sit in a low height chair, wait a moment, and up slowly", 13),
    Activity("D10", "Quickly sit in a low height chair, wait a moment, and up quickly", 14),
    Activity("D11", "Sitting a moment, trying to get up, and collapse into a chair", 15),
    Activity("D12", "Sitting a moment, lying slowly, wait a moment, and sit again", 18),
    Activity("D13", "Sitting a moment, lying quickly, wait a moment, and sit again", 19),
    Activity("D14", "Being on one's back change to lateral position, wait a moment, and change "
                    "to one's back", 17,
             "turning over while lying; KFall's only activity spent lying down is lying on a bed"),
    Activity("D15", "Standing, slowly bending at knees, and getting up", 2),
    Activity("D16", "Standing, slowly bending without bending knees, and getting up", 2),
    Activity("D17", "Standing, get into a car, remain seated and get out of the car", 16,
             "sitting down onto a low seat with an inclined back and getting up again, as on a sofa"),
    Activity("D18", "Stumble while walking", 10),
    Activity("D19", "Gently jump without falling (trying to reach a high object)", 4),
    Activity("F01", "Fall forward while walking caused by a slip", 32),
    Activity("F02", "Fall backward while walking caused by a slip", 34),
    Activity("F03", "Lateral fall while walking caused by a slip", 33),
    Activity("F04", "Fall forward while walking caused by a trip", 30),
    Activity("F05", "Fall forward while jogging caused by a trip", 31),
    Activity("F06", "Vertical fall while walking caused by fainting", 28),
    Activity("F07", "Fall while walking, with use of hands in a table to dampen fall, caused by "
                    "fainting", 29),
    Activity("F08", "Fall forward when trying to get up", 23),
    Activity("F09", "Lateral fall when trying to get up", 24),
    Activity("F10", "Fall forward when trying to sit down", 20),
    Activity("F11", "Fall backward when trying to sit down", 21),
    Activity("F12", "Lateral fall when trying to sit down", 22),
    Activity("F13", "Fall forward while sitting, caused by fainting or falling asleep", 25),
    Activity("F14", "Fall backward while sitting, caused by fainting or falling asleep", 27),
    Activity("F15", "Lateral fall while sitting, caused by fainting or falling asleep", 26),
)
ACTIVITY_BY_CODE = {a.code: a for a in ACTIVITIES}
TRIAL_OFFSET_STEP = 10
MAX_SOURCE_TRIAL = TRIAL_OFFSET_STEP - 1   # SisFall has R01 to R05; more would reach the next code


def trial_offset(code):
    """What a code adds to its SisFall trial number: 0 for the first code of
    its KFall task, TRIAL_OFFSET_STEP for the second, and so on."""
    task = ACTIVITY_BY_CODE[code].task
    sharing = [a.code for a in ACTIVITIES if a.task == task]
    return TRIAL_OFFSET_STEP * sharing.index(code)


# Subjects, from the data set's Readme: age, height in cm, weight in kg, sex.
SUBJECTS = {
    "SA01": (26, 165, 53, "F"), "SA02": (23, 176, 58.5, "M"), "SA03": (19, 156, 48, "F"),
    "SA04": (23, 170, 72, "M"), "SA05": (22, 172, 69.5, "M"), "SA06": (21, 169, 58, "M"),
    "SA07": (21, 156, 63, "F"), "SA08": (21, 149, 41.5, "F"), "SA09": (24, 165, 64, "M"),
    "SA10": (21, 177, 67, "M"), "SA11": (19, 170, 80.5, "M"), "SA12": (25, 153, 47, "F"),
    "SA13": (22, 157, 55, "F"), "SA14": (27, 160, 46, "F"), "SA15": (25, 160, 52, "F"),
    "SA16": (20, 169, 61, "F"), "SA17": (23, 182, 75, "M"), "SA18": (23, 181, 73, "M"),
    "SA19": (30, 170, 76, "M"), "SA20": (30, 150, 42, "F"), "SA21": (30, 183, 68, "M"),
    "SA22": (19, 158, 50.5, "F"), "SA23": (24, 156, 48, "F"),
    "SE01": (71, 171, 102, "M"), "SE02": (75, 150, 57, "F"), "SE03": (62, 150, 51, "F"),
    "SE04": (63, 160, 59, "F"), "SE05": (63, 165, 72, "M"), "SE06": (60, 163, 79, "M"),
    "SE07": (65, 168, 76, "M"), "SE08": (68, 163, 72, "F"), "SE09": (66, 167, 65, "M"),
    "SE10": (64, 156, 66, "F"), "SE11": (66, 169, 63, "F"), "SE12": (69, 164, 56.5, "M"),
    "SE13": (65, 171, 72.5, "M"), "SE14": (67, 163, 58, "M"), "SE15": (64, 150, 50, "F"),
}
# The walk takes only folders named SA plus two characters. Young subjects
# keep their names; elderly SE01..SE15 become SA51..SA65, above every KFall
# subject (SA06..SA38) and every young SisFall subject (SA01..SA23).
ELDERLY_FOLDER_OFFSET = 50

FILE_NAME = re.compile(r"([DF]\d\d)_(S[AE]\d\d)_R(\d\d)\.txt")
# Up to nine digits: enough to see a count beyond its sensor's range, never
# more than a 64-bit integer holds.
DATA_LINE = re.compile(r"\s*(-?\d{1,9})\s*," * (COLUMNS - 1) + r"\s*(-?\d{1,9})\s*;\s*")


def age_group(subject_id):
    return "elderly" if subject_id.startswith("SE") else "young"


def folder_name(subject_id):
    if subject_id not in SUBJECTS:
        raise InputError("%s is not a SisFall subject (SA01-SA23, SE01-SE15)" % subject_id)
    if age_group(subject_id) == "elderly":
        return "SA%02d" % (ELDERLY_FOLDER_OFFSET + int(subject_id[2:]))
    return subject_id


def subject_record(subject_id):
    age, height_cm, weight_kg, sex = SUBJECTS[subject_id]
    return kfall_layout.Subject(folder=folder_name(subject_id), dataset=DATASET,
                                original_id=subject_id, age_group=age_group(subject_id), age=age,
                                sex=sex, height_cm=height_cm, weight_kg=weight_kg)


def _explain_bad_line(line):
    text = line.strip()
    if not text.endswith(";"):
        return "the line does not end with \";\" (cut off?)"
    fields = text[:-1].split(",")
    if len(fields) != COLUMNS:
        return "%d fields where SisFall lines have %d" % (len(fields), COLUMNS)
    for column, field in enumerate(fields, start=1):
        if not re.fullmatch(r"\s*-?\d+\s*", field):
            return "field %d, %r, is not a whole number of counts" % (column, field.strip())
        if not re.fullmatch(r"\s*-?\d{1,9}\s*", field):
            return "field %d, %s, is outside the sensor's range" % (column, field.strip())
    return "not a SisFall data line"


# Lines read, checked and converted at a time: memory stays flat however
# long a trial file is (the download's longest hold some 20,000 lines; a
# file of millions is converted in the same few megabytes).
BLOCK_LINES = 8192


def count_blocks(path, block_lines=BLOCK_LINES):
    """The file's raw counts, block by block: arrays (k, 9) in file order.
    MalformedFile names the first line that is not nine whole numbers within
    the sensors' ranges (it is raised when the block that holds it is read)."""
    low = np.array([r[0] for r in COLUMN_COUNT_RANGES])
    high = np.array([r[1] for r in COLUMN_COUNT_RANGES])

    def block(rows, line_numbers):
        counts = np.array(rows, dtype=np.int64)
        outside = (counts < low) | (counts > high)
        if outside.any():
            row, column = np.argwhere(outside)[0]
            raise MalformedFile(path, line_numbers[row], "field %d, %d, is outside the sensor's range "
                                "%d to %d" % (column + 1, counts[row, column], low[column], high[column]))
        return counts

    rows, line_numbers, total = [], [], 0
    with open(path, "rb") as stream:
        for number, raw in enumerate(stream, start=1):
            try:
                line = raw.decode("ascii")
            except UnicodeDecodeError:
                raise MalformedFile(path, number, "a byte that is not text")
            match = DATA_LINE.fullmatch(line.rstrip("\n"))
            if match:
                rows.append(match.groups())
                line_numbers.append(number)
            elif line.strip():
                raise MalformedFile(path, number, _explain_bad_line(line))
            if len(rows) == block_lines:
                total += len(rows)
                yield block(rows, line_numbers)
                rows, line_numbers = [], []
    if rows:
        total += len(rows)
        yield block(rows, line_numbers)
    if total == 0:
        raise MalformedFile(path, 0, "no data lines")


def physical_units(counts):
    """(n, 6): ADXL345 in g and ITG3200 in deg/s, axes as recorded."""
    return np.hstack([counts[:, 0:3] * ADXL345_G_PER_COUNT, counts[:, 3:6] * ITG3200_DPS_PER_COUNT])


def trial_file(subject_dir, subject_id, name):
    """(path, activity, SisFall trial) when name is one of the subject's trial
    files, None for files that are no trials (the download has desktop.ini and
    images.rar beside them); MalformedFile for a .txt file that is neither."""
    path = os.path.join(subject_dir, name)
    if not name.endswith(".txt") or not os.path.isfile(path):
        return None
    match = FILE_NAME.fullmatch(name)
    if not match:
        raise MalformedFile(path, 0, "not a SisFall trial name (<code>_<subject>_R<nn>.txt)")
    code, owner, trial = match.group(1), match.group(2), int(match.group(3))
    if owner != subject_id:
        raise MalformedFile(path, 0, "a trial of %s in the folder of %s" % (owner, subject_id))
    if code not in ACTIVITY_BY_CODE:
        raise MalformedFile(path, 0, "%s is not a SisFall activity (D01-D19, F01-F15)" % code)
    if not 1 <= trial <= MAX_SOURCE_TRIAL:
        raise MalformedFile(path, 0, "trial %d: SisFall trials are numbered 1 to %d here"
                            % (trial, MAX_SOURCE_TRIAL))
    return path, ACTIVITY_BY_CODE[code], trial


def trial_samples(path, decimation):
    """The trial's samples at KFall's rate, as SampleBlocks: the file is read
    once to check every line and count them, so that nothing is written of a
    malformed file, and again, block by block, as the samples are written."""
    lines = sum(len(counts) for counts in count_blocks(path))

    def make_blocks():
        decimator = resample.Decimator(DECIMATION_FACTOR, decimation)
        for counts in count_blocks(path):
            yield decimator.feed(physical_units(counts))
        yield decimator.finish()

    return kfall_layout.SampleBlocks(-(-lines // DECIMATION_FACTOR), make_blocks)


def read_trial(path, activity, source_trial, decimation):
    samples = trial_samples(path, decimation)
    subject_folder, name = os.path.split(path)
    return kfall_layout.Trial(task=activity.task, trial=trial_offset(activity.code) + source_trial,
                              description=label_files.source_activity_description(
                                  DATASET, activity.code, activity.description),
                              activity=activity.code,
                              source="%s/%s" % (os.path.basename(subject_folder), name),
                              samples=samples)


def read_subject(subject_dir, subject_id, decimation=resample.DEFAULT_METHOD, on_malformed=None):
    """Yields the subject's trials one at a time, by file name. A malformed
    file raises MalformedFile unless on_malformed is given: then it is called
    with the error and the file is left out."""
    for name in sorted(os.listdir(subject_dir)):
        try:
            found = trial_file(subject_dir, subject_id, name)
            if found:
                yield read_trial(*found, decimation)
        except MalformedFile as error:
            if on_malformed is None:
                raise
            on_malformed(error)


class Download(source_files.Download):
    """Where the subjects come from: an unpacked download (a folder holding
    SisFall_dataset/, or SisFall_dataset/ itself) or the packed copy kept for
    development (unpack.sh and data/<subject>.tar.xz)."""

    def __init__(self, path):
        super().__init__(path, DATASET_FOLDER)
        names = self.archived if not self.dataset_dir else [
            n for n in os.listdir(self.dataset_dir) if os.path.isdir(os.path.join(self.dataset_dir, n))]
        self.subjects = sorted(n for n in names if n in SUBJECTS)
        if not self.subjects:
            raise InputError("%s holds no SisFall subject folders (SA01-SA23, SE01-SE15) nor %s/ "
                             "nor a packed copy with unpack.sh" % (path, DATASET_FOLDER))

    def subject_folder(self, subject_id, scratch):
        """The folder of the subject's trial files, unpacked into scratch if needed."""
        if subject_id not in self.subjects:
            raise InputError("%s is not in %s (there: %s)"
                             % (subject_id, self.path, " ".join(self.subjects)))
        if self.dataset_dir:
            return os.path.join(self.dataset_dir, subject_id)
        folder = os.path.join(self.unpack(subject_id, scratch), subject_id)
        if not os.path.isdir(folder):
            raise InputError("%s: %s holds no folder %s" % (self.unpack_script, subject_id, subject_id))
        return folder

    def shown(self, path):
        subject_folder, name = os.path.split(path)
        subject_id = os.path.basename(subject_folder)
        return self.shown_in_archive(path, subject_id, "%s/%s" % (subject_id, name))
