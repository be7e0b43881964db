"""tumblebench.kfall, the one home of KFall's facts: the names the harness
forms and reads, label files it must read as written, the frame halving, the
subject table both the summary and the training read, and the task table
against the harness's own report."""

import os
import re
import unittest

import support
from tumblebench import kfall
from tumblebench.kfall import label_files, tables, tasks


class Names(unittest.TestCase):

    def test_names_the_harness_forms(self):
        cases = [
            # (subject, task, trial) -> recording name
            (("SA06", 20, 1), "S06T20R01.csv"),
            (("SA51", 1, 12), "S51T01R12.csv"),
            (("XY", 35, 3), "XYT35R03.csv"),        # a folder the walk skips keeps its own name
        ]
        for args, name in cases:
            self.assertEqual(kfall.recording_name(*args), name, args)

    def test_trace_names_drop_four_characters_whatever_they_are(self):
        cases = [("SA06/S06T20R01.csv", "SA06/S06T20R01_DSV.csv"),
                 ("SA06/walk", "SA06/_DSV.csv"),
                 ("SA06/run", "SA06_DSV.csv")]
        for recording, trace in cases:
            self.assertEqual(kfall.trace_name(recording), trace, recording)
        self.assertEqual(kfall.recording_of_trace("a/S06T20R01_DSV.csv"), "a/S06T20R01.csv")

    def test_names_read_back(self):
        self.assertEqual(kfall.name_parts("sensor_data/SA06/S06T20R01.csv"), (6, 1))
        self.assertEqual(kfall.name_parts("S06T20R102.csv"), (6, 102))
        self.assertEqual(kfall.name_parts("walk.csv"), (None, None))
        self.assertEqual(kfall.recording_key("sensor_data\\SA06\\S06T20R01.csv"), "S06T20R01")
        self.assertEqual(kfall.recording_key("D01_SA01_R01.txt"), "D01_SA01_R01")
        self.assertEqual(kfall.label_file_subject("/x/SA06_down.csv"), "SA06")
        self.assertIsNone(kfall.label_file_subject("SA06_labels.csv"))
        cases = [("S06T20R01.csv", "S06", (20, 1)), ("S06T20R102.csv", "S06", (20, 102)),
                 ("S07T20R01.csv", "S06", None), ("S06T20R01.txt", "S06", None),
                 ("S06T2R01.csv", "S06", None), ("S06T20R01.csv", None, (20, 1)), ("X06T20R01.csv", None, None)]
        for name, prefix, parts in cases:
            self.assertEqual(kfall.trial_file_parts(name, prefix), parts, (name, prefix))
        for name, walked in (("SA06", True), ("SA6", False), ("SA106", False), ("sa06", False), ("SE01", False)):
            self.assertEqual(kfall.is_subject_folder(name), walked, name)


class TaskTable(support.Workdir):

    def write_table(self, lines):
        path = self.path("tasks.tsv")
        with open(path, "w") as f:
            f.write("# a comment\ntask\tkind\tdescription\n" + "".join(line + "\n" for line in lines))
        return path

    def test_the_falls_are_tasks_20_to_34(self):
        self.assertEqual([t for t in range(-1, 45) if kfall.is_fall(t)], list(range(20, 35)))
        self.assertEqual((kfall.FIRST_TASK, kfall.LAST_TASK), (1, 36))
        self.assertEqual(kfall.type_label(17), "Type-17 (Lie on the bed for 30s)")
        self.assertEqual(kfall.type_label(38), "Type-38")

    def test_a_table_with_gaps_or_split_falls_is_refused(self):
        good = ["1\tadl\tStand", "2\tfall\tFall", "3\tfall\tFall again", "4\tadl\tWalk"]
        names, falls = tasks._read_table(self.write_table(good))
        self.assertEqual((names[4], list(falls)), ("Walk", [2, 3]))
        for bad in (["1\tadl\tStand", "3\tfall\tFall"],                        # a gap
                    ["1\tfall\tA", "2\tadl\tB", "3\tfall\tC"],                 # falls in two runs
                    ["1\tadl\tStand"],                                         # no fall
                    ["1\tmaybe\tStand", "2\tfall\tFall"]):                    # unknown kind
            with self.assertRaises(ValueError, msg=bad):
                tasks._read_table(self.write_table(bad))

    def test_the_harness_names_every_type_as_the_table_does(self):
        # Every task of a generated set, replayed: each type the report
        # names carries the table's description.
        support.generate_data_set(self.dir, "--subjects", "1", "--trials", "1", "--seed", "5")
        _, log = support.run_harness(["-r"], self.dir)
        named = dict((int(t), name) for t, name in re.findall(r"^  o Type-(\d\d) : \d+ \((.*)\)$", log, re.M))
        named.update((int(t), name) for t, name in re.findall(r"^  o (\d\d): \d+ \((.*)\)$", log, re.M))
        self.assertGreaterEqual(len(named), 15)
        for task, name in named.items():
            self.assertEqual(kfall.task_name(task), name, task)


class LabelFiles(support.Workdir):

    def test_written_lines_are_read_by_the_harness_and_back_with_halved_frames(self):
        # A description with a comma, a quote and a line break must stay one
        # trial on one line for the harness's splitter.
        trials = [(20, 1, 'Fall "hard",\nforward', 481, 561), (6, 2, "Walk", 0, 0), (21, 1, "Fall", 0, 0)]
        rows = label_files.label_rows("SA01", trials)
        self.assertEqual([r[0] for r in rows["all"]], ["S01T06", "S01T20", "S01T21"])
        self.assertEqual([r[0] for r in rows["down"]], ["S01T20", "S01T21"])
        path = self.path("SA01_all.csv")
        label_files.write_label_file(path, rows["all"])
        for name, kind in (("S01T20R01.csv", "fall"), ("S01T06R02.csv", "walk"), ("S01T21R01.csv", "stand")):
            support.write_kfall(self.path(name), kind)
        _, log = support.run_harness(["SA01_all.csv"], self.dir)
        self.assertNotIn("invalid string", log)
        results = dict(re.findall(r"^result (\S+) : \d+, +-?\d+, +(-?\d+), +-?\d+ ->", log, re.M))
        self.assertEqual(results, {"S01T20R01.csv": "240", "S01T06R02.csv": "0", "S01T21R01.csv": "0"})
        self.assertEqual(label_files.read_stream_frames(path),
                         {(20, 1): (240, 280), (6, 2): None, (21, 1): None})

    def test_an_empty_task_code_carries_the_one_before(self):
        with open(self.path("SA02_down.csv"), "w") as f:
            f.write(",".join(label_files.LABEL_HEADER) + "\nS02T25,faint,2,116,220\n,same task,3,101,203\n")
        self.assertEqual(label_files.read_stream_frames(self.path("SA02_down.csv")),
                         {(25, 2): (58, 110), (25, 3): (50, 101)})
        with self.assertRaises(label_files.LabelFileError):
            label_files.read_stream_frames(self.path("SA03_down.csv"))


class SubjectTable(support.Workdir):

    def test_read_tolerantly_by_the_summary_and_the_training_alike(self):
        with open(self.path("subjects.csv"), "w", encoding="utf-8-sig") as f:
            f.write("Folder;Original ID;Age Group\nSA01;SA01;young\nSA51;SE01;elderly\nSA52;SE02;\n"
                    ";SE03;elderly\nSA51;SE01;young\n")
        rows, notes = tables.read_subjects(self.path("subjects.csv"))
        self.assertEqual(sorted(rows), ["SA01", "SA51", "SA52"])
        self.assertEqual((rows["SA51"].original_id, rows["SA51"].age_group), ("SE01", "elderly"))
        self.assertEqual(tables.age_groups(rows), {"SA01": "young", "SA51": "elderly"})
        self.assertEqual(len(notes), 3, notes)   # no group, no folder, listed again
        from tumblebench.training import recording_cache
        table = recording_cache.subject_table(self.dir)
        self.assertEqual(table["SE01"], ("SA51", "elderly"))
        self.assertEqual(table["SA51"], ("SA51", "elderly"))
        self.assertEqual(table["SE02"], ("SA52", "young"))   # a subject without a group is young


if __name__ == "__main__":
    unittest.main()
