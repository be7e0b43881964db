"""The cross-validation fold plan: which subjects of which data set are held
out together. A plan is JSON, {"folds": [{"DATASET": [SUBJECT, ...], ...},
...]}; fold_plan.json beside this file is the project's."""

import json
import os

PROJECT_PLAN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fold_plan.json")


class PlanError(Exception):
    pass


def load_plan(path):
    try:
        with open(path) as f:
            plan = json.load(f)
    except (OSError, ValueError) as e:
        raise PlanError("%s: %s" % (path, e))
    return check_plan(plan.get("folds") if isinstance(plan, dict) else None, path)


def check_plan(folds, where="fold plan"):
    """The folds as a list of {dataset: [subjects]}, after checking that
    there are at least two and that no subject stands in two folds."""
    if not isinstance(folds, list) or len(folds) < 2:
        raise PlanError("%s: needs a list of at least two folds" % where)
    seen = {}
    for number, fold in enumerate(folds):
        if not isinstance(fold, dict) or not fold:
            raise PlanError("%s: fold %d is not a {data set: subjects} table" % (where, number + 1))
        for dataset, subjects in fold.items():
            if not isinstance(subjects, list) or not all(isinstance(s, str) for s in subjects):
                raise PlanError("%s: fold %d, %s: not a list of subject names" % (where, number + 1, dataset))
            for subject in subjects:
                key = (dataset, subject)
                if key in seen:
                    raise PlanError("%s: %s %s stands in folds %d and %d" %
                                    (where, dataset, subject, seen[key] + 1, number + 1))
                seen[key] = number
    return folds


def subjects_of(folds, datasets=None):
    """{dataset: [subjects]} of the whole plan, in fold order."""
    out = {}
    for fold in folds:
        for dataset, subjects in fold.items():
            if datasets is None or dataset in datasets:
                out.setdefault(dataset, []).extend(subjects)
    return out


def split(folds, held_out):
    """(training, test) for fold number `held_out`: each a {dataset:
    [subjects]}; the test side is that fold, the training side every other."""
    if not 0 <= held_out < len(folds):
        raise PlanError("no fold %d in a plan of %d" % (held_out + 1, len(folds)))
    train = subjects_of([f for i, f in enumerate(folds) if i != held_out])
    test = {d: list(s) for d, s in folds[held_out].items()}
    return train, test


def training_record(subjects):
    """The record a model file carries of what it was trained on
    (model_record): {dataset: [subjects]} of the plan, each subject by the
    folder a run over the converted data set finds it in (SisFall's SE01 is
    SA51, FallAllD's S01 is SA71)."""
    from ..datasets import fallalld, sisfall    # the converters know their folders
    folder_of = {"kfall": lambda s: s, "sisfall": sisfall.folder_name, "fallalld": fallalld.folder_name}
    out = {}
    for dataset, names in subjects.items():
        if dataset not in folder_of:
            raise PlanError("data set %r: no folder naming known for the training record" % dataset)
        out[dataset] = sorted(folder_of[dataset](s) for s in names)
    return out
