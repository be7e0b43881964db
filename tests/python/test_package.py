"""The package as its users get it: every entry point pyproject.toml names
runs, the checkout's launchers keep the old command names, the install the
README gives (a virtual environment over Debian's interpreter) puts every
command on PATH, and an interpreter without the package's modules stops
with one clear line instead of a traceback."""

import os
import subprocess
import tomllib
import unittest

import support

with open(os.path.join(support.CHECKOUT, "pyproject.toml"), "rb") as _f:
    SCRIPTS = tomllib.load(_f)["project"]["scripts"]
LEGACY_NAMES = {"evaluate": "tumblebench-evaluate", "run_summary": "tumblebench-summary",
                "sweep_thresholds": "tumblebench-sweep", "plot_trace": "tumblebench-plot-trace",
                "sisfall2kfall": "sisfall2kfall", "fallalld2kfall": "fallalld2kfall", "kfall_label": "kfall_label"}


def run(command, cwd=None, env=None):
    return subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=300)


def module_of(script):
    module, function = SCRIPTS[script].split(":")
    return module


class Commands(unittest.TestCase):

    def test_every_entry_point_runs_as_a_module(self):
        self.assertEqual(len(SCRIPTS), 9)
        for script in SCRIPTS:
            with self.subTest(script):
                self.assertTrue(SCRIPTS[script].endswith(":main"))
                done = run([support.PYTHON, "-m", module_of(script), "--help"])
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertTrue(done.stdout.startswith("usage: "), done.stdout[:200])

    def test_the_old_names_in_tools_run_the_same_commands(self):
        for name, script in LEGACY_NAMES.items():
            with self.subTest(name):
                launcher = os.path.join(support.TOOLS, name)
                # As a program (its own #! line) from another folder, and
                # handed to the interpreter as the README's "python3 tools/..." does.
                for command in ([launcher, "--help"], [support.PYTHON, launcher, "--help"]):
                    done = run(command, cwd="/")
                    self.assertEqual(done.returncode, 0, done.stderr)
                    self.assertEqual(done.stdout, run([support.PYTHON, "-m", module_of(script), "--help"]).stdout)


class AnotherInterpreter(support.Workdir):
    """A virtual environment without Debian's packages stands for any
    interpreter but Debian's: it has the standard library and nothing else."""

    def setUp(self):
        super().setUp()
        made = run([support.PYTHON, "-m", "venv", "--without-pip", self.path("bare")])
        if made.returncode != 0:
            self.skipTest("python3 -m venv does not work here (Debian package python3-venv): %s" % made.stderr)
        self.python = self.path("bare", "bin", "python3")
        self.env = dict(os.environ, PYTHONPATH=support.CHECKOUT)

    def assert_one_clear_line(self, done, modules):
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertEqual(done.stdout, "")
        lines = done.stderr.splitlines()
        self.assertEqual(len(lines), 1, done.stderr)
        self.assertTrue(lines[0].startswith("tumblebench: %s lacks the Python module(s) %s;" % (self.python, modules)),
                        lines[0])
        self.assertIn("/usr/bin/python3", lines[0])

    def test_commands_that_need_numpy_say_which_interpreter_to_use(self):
        for command in ([self.python, "-m", "tumblebench.research.evaluate", "--help"],
                        [self.python, "-m", "tumblebench.datasets.sisfall2kfall", "x", "y"],
                        [self.python, os.path.join(support.TOOLS, "fallalld2kfall"), "x", "y"],
                        [self.python, os.path.join(support.TOOLS, "run_summary"), "run.log"]):
            with self.subTest(command[1:]):
                done = run(command, cwd=self.dir, env=self.env)
                converter = "2kfall" in " ".join(command)
                self.assert_one_clear_line(done, "numpy, scipy" if converter else "numpy, matplotlib")
        done = run([self.python, "-m", "tumblebench.training.train_fall_model", "--help"], env=self.env)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertNotIn("Traceback", done.stderr)

    def test_kfall_label_needs_only_openpyxl(self):
        folder = self.path("SA06")
        os.mkdir(folder)
        with open(self.path("SA06_label.xlsx"), "wb") as f:
            f.write(b"PK")
        done = run([self.python, os.path.join(support.TOOLS, "kfall_label"), "SA06_down.csv"], cwd=folder,
                   env=self.env)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertEqual(done.stderr, "kfall_label: the Python module openpyxl is missing (Debian package "
                                      "python3-openpyxl)\n")
        self.assertEqual(os.listdir(folder), [])


class Install(support.Workdir):

    def test_the_readme_install_puts_every_command_on_path(self):
        venv = self.path("venv")
        made = run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv])
        if made.returncode != 0:
            self.skipTest("python3 -m venv does not work here (Debian packages python3-venv, python3-pip): %s"
                          % made.stderr)
        installed = run([os.path.join(venv, "bin", "pip"), "install", "--quiet", "--no-index", "--no-build-isolation",
                         "--no-deps", "-e", support.CHECKOUT])
        self.assertEqual(installed.returncode, 0, installed.stderr)
        env = dict(os.environ, PATH=os.path.join(venv, "bin") + os.pathsep + os.environ["PATH"])
        env.pop("PYTHONPATH", None)
        for script in SCRIPTS:
            with self.subTest(script):
                done = run([script, "--help"], cwd=self.dir, env=env)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertTrue(done.stdout.startswith("usage: "), done.stdout[:200])


if __name__ == "__main__":
    unittest.main()
