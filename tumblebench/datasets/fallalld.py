"""FallAllD's waist device (Saleh, Abbas and Le Bouquin Jeannes, IEEE Sensors
Journal 21(2):1849-1858, 2021) as KFall trials.

The download keeps every file in one flat folder, named
S<ss>_D<d>_A<aaa>_T<tt>_<sensor>.dat: subject, device (D3 is the waist box),
activity code, trial and sensor (A accelerometer, G gyroscope; the
magnetometer and barometer files, M and B, are not read). A trial's A and G
files hold the same number of lines, "x,y,z" in raw counts of the box's
LSM6DSL, 238 samples per second.

The box's axes are not KFall's: upright, gravity lies on +x (x up), and z
points forward; its gyroscope turns the other way round those axes than the
right-hand rule says. DEVICE_TO_KFALL and GYRO_HANDEDNESS turn both sensors
into KFall's frame (docs/fallalld.md shows the measurements behind them).

This file holds everything FallAllD-specific: the activity table and how it
maps onto KFall's tasks, the subjects and their folder names, the file reader,
the units and the axes. kfall_layout writes the result.
"""

import os
import re
from dataclasses import dataclass

import numpy as np

from ..kfall import label_files
from . import kfall_layout, resample, source_files
from .source_files import InputError, MalformedFile

DATASET = "FallAllD"
DATASET_FOLDER = "FallAllD"
RATE_PER_S = 238

# The LSM6DSL's sensitivities at the ranges the data set used (+-8 g,
# +-2000 deg/s), as its authors give them; counts are 16-bit.
ACC_G_PER_COUNT = 0.244e-3
GYRO_DPS_PER_COUNT = 0.07
COUNT_RANGE = (-2 ** 15, 2 ** 15 - 1)
AXES = 3

# KFall's x, y, z (rows) from the box's x, y, z: KFall's y points down and
# its z forward, so KFall x = box y, y = -box x, z = box z; a quarter turn
# about z, the same for acceleration and angular rate.
DEVICE_TO_KFALL = np.array([[0, 1, 0],
                            [-1, 0, 0],
                            [0, 0, 1]])
# The gyroscope's rate, negated, is right-handed about the accelerometer's axes.
GYRO_HANDEDNESS = -1


@dataclass(frozen=True)
class Activity:
    code: str
    name: str            # FallAllD's own description
    task: int            # the KFall task it is replayed as
    direction: str = ""  # falls: forward, backward, lateral or vertical
    recovery: bool = False   # falls: the wearer gets up before the recording ends
    no_twin: str = ""    # for activities KFall does not have: why this task is the nearest


def _fall(code, name, task, direction, recovery=False, no_twin=""):
    return Activity(code, name, task, direction, recovery, no_twin)


_NO_JOGGING_SLIP = "a fall while jogging; KFall's falls while jogging are caused by a trip"
_NO_WALKING_FAINT = ("a faint while walking; KFall's faint while walking falls forward, so the "
                     "walking fall of the same direction")
_NO_STANDING_FAINT = ("a faint from standing; KFall faints only while walking or sitting, so the "
                      "fall from standing height of the same direction")
_LIFT = "standing still while a lift starts or stops; KFall's nearest is standing"

# The one table of the mapping; docs/fallalld.md shows it and a test holds
# the two together. Codes sharing a KFall task get trial numbers
# TRIAL_OFFSET_STEP apart, in the order they appear here (trial_offset).
ACTIVITIES = (
    Activity("A013", "Sitting down", 13),
    Activity("A014", "Standing up", 13),
    Activity("A015", "Failing to stand up from a sofa or chair (after half standing)", 15),
    Activity("A016", "Lying down on a bed", 18),
    Activity("A017", "Changing position (turning) in bed", 17,
             no_twin="turning over while lying; KFall's only activity spent lying down is lying on "
             "a bed"),
    Activity("A018", "Rising up from a bed", 18),
    Activity("A019", "Start walking", 6),
    Activity("A020", "Walking slowly or at moderate speed", 6),
    Activity("A021", "Stop walking", 6),
    Activity("A022", "Walking quickly", 7),
    Activity("A023", "Stumbling while walking, without falling", 10),
    Activity("A024", "Jogging slowly", 8),
    Activity("A025", "Jogging quickly", 9),
    Activity("A026", "Jumping slightly", 4),
    Activity("A027", "Jumping strongly", 4,
             no_twin="a jump; KFall's only jump is a gentle one"),
    Activity("A028", "Bending down (e.g. to pick something up from the floor) and rising again", 3),
    Activity("A029", "Start going upstairs", 35),
    Activity("A030", "Going upstairs", 35),
    Activity("A031", "Stop going upstairs", 35),
    Activity("A032", "Start going downstairs", 35),
    Activity("A033", "Going downstairs", 35),
    Activity("A034", "Stop going downstairs", 35),
    Activity("A035", "Going upstairs quickly", 36),
    Activity("A036", "Going downstairs quickly", 36),
    Activity("A037", "Start ascending in a lift", 1, no_twin=_LIFT),
    Activity("A038", "Stop ascending in a lift", 1, no_twin=_LIFT),
    Activity("A039", "Start descending in a lift", 1, no_twin=_LIFT),
    Activity("A040", "Stop descending in a lift", 1, no_twin=_LIFT),
    Activity("A041", "Standing in a moving bus or metro", 1,
             no_twin="standing while the floor moves; KFall's nearest is standing"),
    Activity("A042", "Sitting in a moving bus or metro", 11,
             no_twin="sitting while the seat moves; KFall's nearest is sitting on a chair"),
    Activity("A043", "Start jogging", 8),
    Activity("A044", "Stop jogging", 8),
    _fall("A101", "Forward fall while walking, caused by stumbling or tripping", 30, "forward"),
    _fall("A102", "Forward fall while walking, caused by stumbling or tripping, with recovery", 30,
          "forward", True),
    _fall("A103", "Forward fall while walking, caused by slipping", 32, "forward"),
    _fall("A104", "Forward fall while walking, caused by slipping, with recovery", 32, "forward", True),
    _fall("A105", "Forward fall while walking, caused by slipping, with rotation", 32, "forward"),
    _fall("A106", "Forward fall while walking, caused by slipping, with rotation and recovery", 32,
          "forward", True),
    _fall("A107", "Backward fall while walking, caused by slipping", 34, "backward"),
    _fall("A108", "Backward fall while walking, caused by slipping, with recovery", 34, "backward",
          True),
    _fall("A109", "Backward fall while walking, caused by slipping, with rotation", 34, "backward"),
    _fall("A110", "Backward fall while walking, caused by slipping, with rotation and recovery", 34,
          "backward", True),
    _fall("A111", "Forward fall while walking, caused by fainting (syncope)", 28, "forward"),
    _fall("A112", "Backward fall while walking, caused by fainting (syncope)", 34, "backward",
          no_twin=_NO_WALKING_FAINT),
    _fall("A113", "Lateral fall while walking, caused by fainting (syncope)", 33, "lateral",
          no_twin=_NO_WALKING_FAINT),
    _fall("A114", "Forward fall while walking, caused by fainting (syncope), hands on a table", 29,
          "forward"),
    _fall("A115", "Forward fall when trying to sit or lie down, losing balance", 20, "forward"),
    _fall("A116", "Forward fall when trying to sit or lie down, losing balance, with recovery", 20,
          "forward", True),
    _fall("A117", "Backward fall when trying to sit or lie down, losing balance", 21, "backward"),
    _fall("A118", "Backward fall when trying to sit or lie down, losing balance, with recovery", 21,
          "backward", True),
    _fall("A119", "Lateral fall when trying to sit or lie down, losing balance", 22, "lateral"),
    _fall("A120", "Lateral fall when trying to sit or lie down, losing balance, with recovery", 22,
          "lateral", True),
    _fall("A121", "Forward fall while jogging, caused by stumbling or tripping", 31, "forward"),
    _fall("A122", "Forward fall while jogging, caused by stumbling or tripping, with recovery", 31,
          "forward", True),
    _fall("A123", "Forward fall while jogging, caused by slipping", 31, "forward",
          no_twin=_NO_JOGGING_SLIP),
    _fall("A124", "Forward fall while jogging, caused by slipping, with recovery", 31, "forward", True,
          no_twin=_NO_JOGGING_SLIP),
    _fall("A125", "Forward fall while jogging, caused by slipping, with rotation", 31, "forward",
          no_twin=_NO_JOGGING_SLIP),
    _fall("A126", "Forward fall while jogging, caused by slipping, with rotation and recovery", 31,
          "forward", True, no_twin=_NO_JOGGING_SLIP),
    _fall("A127", "Lateral fall out of bed while changing position", 26, "lateral",
          no_twin="a sideways fall from a bed's height without a step; KFall's nearest is the "
          "sideways fall from a chair"),
    _fall("A128", "Lateral fall out of bed while changing position, with recovery", 26, "lateral", True,
          no_twin="a sideways fall from a bed's height without a step; KFall's nearest is the "
          "sideways fall from a chair"),
    _fall("A129", "Forward fall while sitting on a chair, caused by fainting (syncope)", 25, "forward"),
    _fall("A130", "Backward fall while sitting on a chair, caused by fainting (syncope)", 27,
          "backward"),
    _fall("A131", "Lateral fall while sitting on a chair, caused by fainting (syncope)", 26, "lateral"),
    _fall("A132", "Forward fall while standing, caused by fainting (syncope)", 28, "forward",
          no_twin=_NO_STANDING_FAINT),
    _fall("A133", "Backward fall while standing, caused by fainting (syncope)", 34, "backward",
          no_twin=_NO_STANDING_FAINT),
    _fall("A134", "Lateral fall while standing, caused by fainting (syncope)", 33, "lateral",
          no_twin=_NO_STANDING_FAINT),
    _fall("A135", "Vertical fall while standing, caused by fainting (syncope), sliding slowly down a "
          "wall", 28, "vertical",
          no_twin="a faint from standing that ends sitting against a wall; KFall's vertical fall is "
          "a faint while walking"),
)
ACTIVITY_BY_CODE = {a.code: a for a in ACTIVITIES}
TRIAL_OFFSET_STEP = 15
MAX_SOURCE_TRIAL = TRIAL_OFFSET_STEP - 1   # FallAllD has T01 to T14; more would reach the next code


def trial_offset(code):
    """What a code adds to its FallAllD trial number: 0 for the first code of
    its KFall task, TRIAL_OFFSET_STEP for the second, and so on."""
    task = ACTIVITY_BY_CODE[code].task
    sharing = [a.code for a in ACTIVITIES if a.task == task]
    return TRIAL_OFFSET_STEP * sharing.index(code)


# FallAllD's 15 volunteers, adults aged 21 to 53; the data set publishes no
# age, sex, height or weight per subject.
SUBJECT_IDS = tuple("S%02d" % number for number in range(1, 16))
AGE_GROUP = "adult"
# The walk takes only folders named SA plus two characters. S01..S15 become
# SA71..SA85: above every KFall subject (SA06..SA38) and every SisFall
# folder (SA01..SA23, SA51..SA65), and readable (SA77 is S07).
FOLDER_OFFSET = 70

FILE_NAME = re.compile(r"S(\d\d)_D(\d)_A(\d\d\d)_T(\d\d)_([A-Z])\.dat")
WAIST_DEVICE = "3"
ACC_FILE, GYRO_FILE = "A", "G"
WAIST_FILE = re.compile(r"S\d\d_D3_.*")
# A whole file as the download writes it, checked in one pass; anything else
# is read line by line to say what is wrong.
_NUMBER = r"-?\d{1,9}"   # up to nine digits: enough to see a count out of range
_CLEAN_FILE = re.compile(r"(?:%s,%s,%s\r?\n)*(?:%s,%s,%s\r?\n?)?" % ((_NUMBER,) * 6))
_DATA_LINE = re.compile(r"\s*(%s)\s*,\s*(%s)\s*,\s*(%s)\s*" % ((_NUMBER,) * 3))


def folder_name(subject_id):
    if subject_id not in SUBJECT_IDS:
        raise InputError("%s is not a FallAllD subject (S01-S15)" % subject_id)
    return "SA%02d" % (FOLDER_OFFSET + int(subject_id[1:]))


def subject_record(subject_id):
    return kfall_layout.Subject(folder=folder_name(subject_id), dataset=DATASET,
                                original_id=subject_id, age_group=AGE_GROUP)


def _explain_bad_line(line):
    fields = line.split(",")
    if len(fields) != AXES:
        return "%d fields where FallAllD lines have %d (x,y,z)" % (len(fields), AXES)
    for column, field in enumerate(fields, start=1):
        if not re.fullmatch(r"\s*-?\d+\s*", field):
            return "field %d, %r, is not a whole number of counts" % (column, field.strip())
    return "a count of more than nine digits, outside the sensor's range"


def read_counts(path):
    """The file's raw counts, shape (lines, 3); MalformedFile names the first
    line that is not three whole numbers within the sensor's 16 bits."""
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as error:
        raise MalformedFile(path, 0, "cannot be read (%s)" % (error.strerror or error))
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError as error:
        raise MalformedFile(path, data[:error.start].count(b"\n") + 1, "a byte that is not text")
    if _CLEAN_FILE.fullmatch(text):
        counts = np.array(text.replace(",", " ").split(), dtype=np.int64).reshape(-1, AXES)
        line_numbers = None
    else:
        rows, line_numbers = [], []
        for number, line in enumerate(text.split("\n"), start=1):
            match = _DATA_LINE.fullmatch(line)
            if match:
                rows.append(match.groups())
                line_numbers.append(number)
            elif line.strip():
                raise MalformedFile(path, number, _explain_bad_line(line))
        counts = np.array(rows, dtype=np.int64).reshape(-1, AXES)
    if len(counts) == 0:
        raise MalformedFile(path, 0, "no data lines")
    outside = (counts < COUNT_RANGE[0]) | (counts > COUNT_RANGE[1])
    if outside.any():
        row, column = np.argwhere(outside)[0]
        line = line_numbers[row] if line_numbers else row + 1
        raise MalformedFile(path, line, "field %d, %d, is outside the sensor's range %d to %d"
                            % (column + 1, counts[row, column], *COUNT_RANGE))
    return counts


def to_kfall_frame(acc_g, rate_dps):
    """(n, 6): the box's acceleration and angular rate in KFall's axes."""
    return np.hstack([acc_g @ DEVICE_TO_KFALL.T, (GYRO_HANDEDNESS * rate_dps) @ DEVICE_TO_KFALL.T])


@dataclass(frozen=True)
class TrialFiles:
    activity: Activity
    trial: int             # FallAllD's trial number
    acc_path: str
    gyro_path: str


def find_trials(folder, names, subject_id):
    """The subject's waist trials among names (files in folder), in name
    order, each a TrialFiles or, for a name that cannot be one, a
    MalformedFile; other devices' and sensors' files are left aside."""
    found = {}     # (activity code, trial) -> {sensor: name}
    problems = []
    for name in sorted(names):
        if not WAIST_FILE.fullmatch(name) or not name.startswith(subject_id + "_"):
            continue
        match = FILE_NAME.fullmatch(name)
        path = os.path.join(folder, name)
        if not match:
            problems.append((name, MalformedFile(path, 0, "not a FallAllD file name "
                                                 "(S<ss>_D3_A<aaa>_T<tt>_<sensor>.dat)")))
            continue
        _, _, code, trial, sensor = match.groups()
        if sensor not in (ACC_FILE, GYRO_FILE):
            continue
        code = "A" + code
        if code not in ACTIVITY_BY_CODE:
            problems.append((name, MalformedFile(path, 0, "%s is not an activity of FallAllD's waist "
                                                 "device (A013-A044, A101-A135)" % code)))
        elif not 1 <= int(trial) <= MAX_SOURCE_TRIAL:
            problems.append((name, MalformedFile(path, 0, "trial %d: FallAllD trials are numbered 1 "
                                                 "to %d" % (int(trial), MAX_SOURCE_TRIAL))))
        else:
            found.setdefault((code, int(trial)), {})[sensor] = name
    items = problems
    for (code, trial), files in found.items():
        if len(files) == 2:
            items.append((files[ACC_FILE], TrialFiles(ACTIVITY_BY_CODE[code], trial,
                                                      os.path.join(folder, files[ACC_FILE]),
                                                      os.path.join(folder, files[GYRO_FILE]))))
        else:
            (sensor, name), = files.items()
            partner = name[:-len("X.dat")] + (GYRO_FILE if sensor == ACC_FILE else ACC_FILE) + ".dat"
            items.append((name, MalformedFile(os.path.join(folder, name), 0,
                                              "its partner %s is missing" % partner)))
    return [item for _, item in sorted(items, key=lambda pair: pair[0])]


def source_names(files):
    return "%s + %s" % (os.path.basename(files.acc_path), os.path.basename(files.gyro_path))


def read_trial(files):
    acc = read_counts(files.acc_path)
    gyro = read_counts(files.gyro_path)
    if len(acc) != len(gyro):
        raise MalformedFile(files.acc_path, 0, "%d lines, its gyroscope file %s %d: a trial's two "
                            "files hold the same samples" % (len(acc), os.path.basename(files.gyro_path),
                                                             len(gyro)))
    samples = resample.resample_to(to_kfall_frame(acc * ACC_G_PER_COUNT, gyro * GYRO_DPS_PER_COUNT),
                                   RATE_PER_S, kfall_layout.RATE_PER_S)
    activity = files.activity
    return kfall_layout.Trial(task=activity.task, trial=trial_offset(activity.code) + files.trial,
                              description=label_files.source_activity_description(DATASET, activity.code, activity.name),
                              activity=activity.code, source=source_names(files), samples=samples,
                              activity_name=activity.name)


def read_subject(folder, names, subject_id, on_malformed=None):
    """Yields the subject's trials one at a time, in name order. A malformed
    file raises MalformedFile unless on_malformed is given: then it is called
    with the error and the trial is left out."""
    for item in find_trials(folder, names, subject_id):
        try:
            if isinstance(item, MalformedFile):
                raise item
            trial = read_trial(item)
        except MalformedFile as error:
            if on_malformed is None:
                raise
            on_malformed(error)
            continue
        yield trial


class Download(source_files.Download):
    """Where the subjects come from: the download's flat folder (a folder
    holding FallAllD/, or that folder itself) or the packed copy kept for
    development (unpack.sh and data/<subject>.tar.xz)."""

    def __init__(self, path):
        super().__init__(path, DATASET_FOLDER)
        self._names = {}
        if self.dataset_dir:
            for name in os.listdir(self.dataset_dir):
                if WAIST_FILE.fullmatch(name):
                    self._names.setdefault(name[:3], []).append(name)
        present = self.archived if not self.dataset_dir else list(self._names)
        self.subjects = sorted(n for n in present if n in SUBJECT_IDS)
        if not self.subjects:
            raise InputError("%s holds no FallAllD waist files (S<ss>_D3_...) for S01-S15 nor %s/ "
                             "nor a packed copy with unpack.sh" % (path, DATASET_FOLDER))
        # Waist files of a subject FallAllD does not have, to be named, not ignored.
        self.strays = [MalformedFile(os.path.join(self.dataset_dir, name), 0,
                                     "%s is not a FallAllD subject (S01-S15)" % subject)
                       for subject, names in sorted(self._names.items()) if subject not in SUBJECT_IDS
                       for name in sorted(names)]

    def subject_files(self, subject_id, scratch):
        """(folder, names): where the subject's files are, unpacked into
        scratch if needed, and their names."""
        if subject_id not in self.subjects:
            raise InputError("%s is not in %s (there: %s)"
                             % (subject_id, self.path, " ".join(self.subjects)))
        if self.dataset_dir:
            return self.dataset_dir, self._names[subject_id]
        folder = self.unpack(subject_id, scratch)
        return folder, os.listdir(folder)

    def shown(self, path):
        name = os.path.basename(path)
        return self.shown_in_archive(path, name[:3], name)
