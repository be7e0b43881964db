"""KFall activity types as the harness numbers and names them."""

# Indexed by task number; entry 0 is the harness's placeholder.
KFALL_TASKS = (
    "null",
    "Stand for 30s",
    "Stand, slowly bend the back with or without bending at knees, tie shoe lace, and get up",
    "Pick up an object from the floor",
    "Gently jump (try to reach an object)",
    "Stand, sit to the ground, wait a moment, and get up with normal speed",
    "Walk normally with turn (4m)",
    "Walk quickly with turn (4m)",
    "Jog normally with turn (4m)",
    "Jog quickly with turn (4m)",
    "Stumble while walking",
    "Sit on a chair for 30s",
    "Sit on the sofa (back is inclined to the support) for 30s",
    "Sit down to a chair normally, and get up from a chair normally",
    "Sit down to a chair quickly, and get up from a chair quickly",
    "Sit a moment, trying to get up, and collapse into a chair",
    "Stand, sit on the sofa (back is inclined to the support), and get up normally",
    "Lie on the bed for 30s",
    "Sit a moment, lie down to the bed normally, and get up normally",
    "Sit a moment, lie down to the bed quickly, and get up quickly",
    "Forward fall when trying to sit down",
    "Backward fall when trying to sit down",
    "Lateral fall when trying to sit down",
    "Forward fall when trying to get up",
    "Lateral fall when trying to get up",
    "Forward fall while sitting, caused by fainting",
    "Lateral fall while sitting, caused by fainting",
    "Backward fall while sitting, caused by fainting",
    "Vertical (forward) fall while walking caused by fainting",
    "Fall while walking, use of hands to dampen fall, caused by fainting",
    "Forward fall while walking caused by a trip",
    "Forward fall while jogging caused by a trip",
    "Forward fall while walking caused by a slip",
    "Lateral fall while walking caused by a slip",
    "Backward fall while walking caused by a slip",
    "Walk upstairs and downstairs normally (five steps)",
    "Walk upstairs and downstairs quickly (five steps)",
)

# The report prints types 1 to 36 only; the statistics have rows for 0 to 39.
FIRST_REPORTED_TASK = 1
LAST_REPORTED_TASK = 36
TASK_SLOTS = 40
MODE_SLOTS = 24


def is_fall(task):
    return 20 <= task <= 34


def task_class(task):
    return "fall" if is_fall(task) else "ADL"


def task_name(task):
    if 0 < task < len(KFALL_TASKS):
        return KFALL_TASKS[task]
    return ""


def type_label(task):
    name = task_name(task)
    return "Type-%02d (%s)" % (task, name) if name else "Type-%02d" % task


# What each detection mode tests, in short, for figure labels.
MODE_RULES = {
    1: "X1 window, tilted, P>=0.67",
    2: "P>0.8 twice, moving down",
    3: "acc<0.70 g, vv>9, P>=0.7",
    4: "acc<0.75 g, vv>10, P>=0.57",
    5: "acc<0.80 g, vv>15, P>=0.53",
    6: "X1 window, vv>21.3",
    7: "P>0.9 for 8 evaluations",
    8: "X2 window, pitch>13, P>0.53",
}


def mode_label(mode):
    rule = MODE_RULES.get(mode)
    return "mode %d (%s)" % (mode, rule) if rule else "mode %d" % mode
