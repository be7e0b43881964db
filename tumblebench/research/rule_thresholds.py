"""The values the decision rules compare against, as a run used them, for
figures that show a detection against its rule: rule_values() gives them by
the rule table's groups and names (tumblix/rule_table.json), the
detector's built-in values with the run's rule file on top.

The built-in values are read here from the rule replay's constants, the
Python side's one copy of them, until that reads the table itself."""

from . import rule_replay as rr

# Group -> name -> the built-in value of every value the rules compare
# against, named as the rule table names them (the window's gate is drawn by
# no figure here).
_BUILT_IN = {
    "x1": {"lpf_acc_below": rr.X1_ACC, "lpf_gyro_above": rr.X1_GYRO, "vv_above": rr.X1_VV,
           "window_samples": rr.TRIGGER_WINDOW_SAMPLES},
    "x2": {"lpf_acc_below": rr.X2_ACC, "lpf_gyro_above": rr.X2_GYRO, "vv_above": rr.X2_VV,
           "window_samples": rr.TRIGGER_WINDOW_SAMPLES},
    "mode6": {"vv_above": rr.MODE6_VV},
    "mode1": {"roll_abs_above": rr.MODE1_ROLL, "pitch_above": rr.MODE1_PITCH_UP,
              "pitch_below": rr.MODE1_PITCH_DOWN, "p_at_least": rr.MODE1_P},
    "mode8": {"pitch_above": rr.MODE8_PITCH, "p_above": rr.MODE8_P},
    "runs": {"p_above": rr.RUN_P},
    "mode2": {"vv_above": rr.MODE2_VV, "tilt_above": rr.MODE2_ANGLE, "tilt_lpf_acc_below": rr.MODE2_ACC,
              "tilt_vv_above": rr.MODE2_VV_TILTED, "run_at_least": rr.MODE2_RUN},
    "mode7": {"p_above": rr.MODE7_P, "run_above": rr.MODE7_RUN, "lpf_acc_below": rr.MODE7_ACC},
    "mode3": {"lpf_acc_below": rr.MODE3_ACC, "vv_above": rr.MODE3_VV, "p_at_least": rr.MODE3_P},
    "mode4": {"lpf_acc_below": rr.MODE4_ACC, "vv_above": rr.MODE4_VV, "p_at_least": rr.MODE4_P},
    "mode5": {"lpf_acc_below": rr.MODE5_ACC, "vv_above": rr.MODE5_VV, "p_at_least": rr.MODE5_P},
}


def _plain(value):
    # float32 constants shown as the decimals they were written as (0.67, not 0.6700000166893005).
    return value if isinstance(value, int) else float("%.7g" % value)


def rule_values(manifest=None):
    """{group: {name: value}} of the rule set a run used: the built-in values
    with the values of the run's rule file (its manifest's "rules" record)
    on top."""
    values = {group: {name: _plain(v) for name, v in named.items()} for group, named in _BUILT_IN.items()}
    rules = (manifest or {}).get("rules")
    overlay = rules.get("values") if isinstance(rules, dict) else None
    for group, named in (overlay or {}).items():
        if isinstance(named, dict) and group in values:
            for name, value in named.items():
                if name in values[group] and isinstance(value, (int, float)) and not isinstance(value, bool):
                    values[group][name] = value
    return values


def _g(hundredths):
    return "%g g" % (hundredths / 100)


def mode_rule(values, mode):
    """(what mode `mode` tests, in words, [(feature, threshold)]) with the
    rule set's values: the features are trace columns (lpf_acc in hundredths
    of g, lpf_gyro, vv, roll, pitch, down in percent), the thresholds in the
    same units, for lines on a figure."""
    v = values
    x1 = "X1 window (lpf_acc < %s, lpf_gyro > %g, vv > %g in the last %d samples)" % (
        _g(v["x1"]["lpf_acc_below"]), v["x1"]["lpf_gyro_above"], v["x1"]["vv_above"], v["x1"]["window_samples"])
    x2 = "X2 window (lpf_acc < %s, lpf_gyro > %g, vv > %g in the last %d samples)" % (
        _g(v["x2"]["lpf_acc_below"]), v["x2"]["lpf_gyro_above"], v["x2"]["vv_above"], v["x2"]["window_samples"])
    x1_lines = [("lpf_acc", v["x1"]["lpf_acc_below"]), ("lpf_gyro", v["x1"]["lpf_gyro_above"]),
                ("vv", v["x1"]["vv_above"])]
    x2_lines = [("lpf_acc", v["x2"]["lpf_acc_below"]), ("lpf_gyro", v["x2"]["lpf_gyro_above"]),
                ("vv", v["x2"]["vv_above"])]
    m = v.get("mode%d" % mode, {})
    p = lambda value: 100 * value
    if mode == 6:
        return "%s, vv > %g (P not read)" % (x1, m["vv_above"]), x1_lines + [("vv", m["vv_above"])]
    if mode == 1:
        return ("%s, |roll| > %g or pitch > %g or pitch < %g, P >= %g"
                % (x1, m["roll_abs_above"], m["pitch_above"], m["pitch_below"], m["p_at_least"]),
                x1_lines + [("roll", m["roll_abs_above"]), ("roll", -m["roll_abs_above"]),
                            ("pitch", m["pitch_above"]), ("pitch", m["pitch_below"]), ("down", p(m["p_at_least"]))])
    if mode == 8:
        return ("%s, pitch > %g, P > %g" % (x2, m["pitch_above"], m["p_above"]),
                x2_lines + [("pitch", m["pitch_above"]), ("down", p(m["p_above"]))])
    runs = v["runs"]["p_above"]
    if mode == 2:
        return ("P > %g, and vv > %g or (|roll| or pitch > %g, lpf_acc < %s, vv > %g), on %d evaluations in a row"
                % (runs, m["vv_above"], m["tilt_above"], _g(m["tilt_lpf_acc_below"]), m["tilt_vv_above"],
                   m["run_at_least"]),
                [("down", p(runs)), ("vv", m["vv_above"]), ("vv", m["tilt_vv_above"]), ("roll", m["tilt_above"]),
                 ("roll", -m["tilt_above"]), ("pitch", m["tilt_above"]), ("lpf_acc", m["tilt_lpf_acc_below"])])
    if mode == 7:
        return ("P > %g on more than %d evaluations in a row, lpf_acc < %s" % (m["p_above"], m["run_above"],
                                                                             _g(m["lpf_acc_below"])),
                [("down", p(m["p_above"])), ("lpf_acc", m["lpf_acc_below"])])
    if mode in (3, 4, 5):
        return ("lpf_acc < %s, vv > %g, P >= %g" % (_g(m["lpf_acc_below"]), m["vv_above"], m["p_at_least"]),
                [("lpf_acc", m["lpf_acc_below"]), ("vv", m["vv_above"]), ("down", p(m["p_at_least"]))])
    return "mode %d" % mode, []
