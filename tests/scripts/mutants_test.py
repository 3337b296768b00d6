#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Tests of scripts/mutants.py: where mutants are made, that the copy is always put back,
what the compiler makes of a mutant, and how the test runner tells a failure, a crash and a
hang apart."""

import json
import os
import sys
import tempfile
import time
import unittest

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
sys.path.insert(0, SCRIPTS)

import mutants  # noqa: E402

SOURCE = """\
#include <vector>
#define LIMIT(a, b) (a < b && \\
                     b > 0)
// if (x < 3) return;
/* a == b */
static_assert(sizeof(int) == 4);
struct Record {
  int width[4];
  int height = 2;
};
constexpr int kMax = 7;
int Pick(const std::vector<int>& values, int i) {
  const char* text = "a < b && c";
  int total = values[i] + 1;
  if (total <= kMax && i != 0) Log(total);
  total |= 0x30;
  return static_cast<int>(total);
}
"""


def found(text, path="core/a.cpp"):
    return {(m.line, m.op, m.original, m.replacement)
            for m in mutants.MutantFinder(path, text).find()}


class MutantPlacesTest(unittest.TestCase):
    def test_mutants_land_in_code_and_never_in_comments_strings_directives_or_layouts(self):
        self.assertEqual(found(SOURCE), {
            (11, "constant", "7", "8"), (11, "constant", "7", "6"),
            (14, "index", "i", "i + 1"), (14, "index", "i", "i - 1"),
            (14, "arithmetic", "+", "-"), (14, "constant", "1", "2"), (14, "constant", "1", "0"),
            (15, "condition", "total <= kMax && i != 0", "true"),
            (15, "condition", "total <= kMax && i != 0", "false"),
            (15, "boundary", "<=", "<"), (15, "relational", "<=", ">="),
            (15, "logical", "&&", "||"), (15, "equality", "!=", "=="),
            (15, "constant", "0", "1"), (15, "statement", "Log(total)", ""),
            (16, "bitwise", "|=", "&="), (16, "bitmask", "0x30", "0x20"),
            (16, "statement", "total |= 0x30", ""),
        })

    def test_declarations_and_template_brackets_are_not_operators(self):
        self.assertEqual(found("""\
void F(Foo& a, Foo&& b) {
  std::array<BYTE, 4> kept{};
  const Foo& ref = a;
  Foo* p = Make<int>(a);
  BYTE buffer[16];
  Use(kept, ref, p, buffer);
}
"""), {(6, "statement", "Use(kept, ref, p, buffer)", "")})

    def test_a_branch_the_preprocessor_drops_has_no_mutants(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "core"))
            with open(os.path.join(root, "core", "a.cpp"), "w", encoding="utf-8") as out:
                out.write("int F(int x) {\n#if defined(NOT_DEFINED_HERE)\n  return x + 1;\n"
                          "#else\n  return x - 2;\n#endif\n}\n")
            made = {(m.line, m.op) for m in mutants.generate(root, ["core/a.cpp"])}
        self.assertEqual(made, {(5, "arithmetic"), (5, "constant")})

    def test_the_custom_size_tolerance_edge_is_a_boundary_mutant(self):
        path = "settings/paper_size.cpp"
        with open(os.path.join(mutants.ROOT, path), encoding="utf-8") as source:
            text = source.read()
        line = text[:text.index("return a - b < tolerance")].count("\n") + 1
        edges = [m for m in mutants.MutantFinder(path, text).find()
                 if m.line == line and m.op == "boundary"]
        self.assertEqual([(m.original, m.replacement) for m in edges], [("<", "<=")] * 2)
        self.assertIn("return a - b <= tolerance && b - a < tolerance",
                      edges[0].apply(text))


class KeptListsTest(unittest.TestCase):
    def test_equivalents_need_a_reason_and_slow_tests_are_spared_only_for_code_in_functions(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "tests"))
            listed = os.path.join(root, mutants.EQUIVALENTS)
            with open(listed, "w", encoding="utf-8") as out:
                out.write("# why each behaves as the original\n\ncore/a.cpp:1:2:constant:3  same dots\n")
            self.assertEqual(mutants.load_equivalents(root), {"core/a.cpp:1:2:constant:3": "same dots"})
            with open(listed, "a", encoding="utf-8") as out:
                out.write("core/a.cpp:3:9:index:(x / 8) + 1 past the last dot\n")
            spaced = "core/a.cpp:3:9:index:(x / 8) + 1"
            self.assertEqual(mutants.load_equivalents(root, {spaced})[spaced], "past the last dot")
            with open(listed, "a", encoding="utf-8") as out:
                out.write("core/a.cpp:4:2:constant:3\n")
            with self.assertRaises(SystemExit):
                mutants.load_equivalents(root)
        text = "constexpr int kTable[] = {1, 2};\nint F(int x) {\n  return x + 1;\n}\nint G() { return 0; }\n"
        constants = [(m.line, m) for m in mutants.MutantFinder("core/a.cpp", text).find()
                     if m.op == "constant"]
        data, code = constants[0], constants[-3]
        self.assertEqual((data[0], code[0]), (1, 3))
        coverage = mutants.Coverage({"key": "", "tests": ["S.Runs", "S.Other"],
                                     "lines": {"core/a.cpp": {"3": [0], "5": [1]}},
                                     "executable": {"core/a.cpp": [3, 5]}})
        self.assertIsNone(coverage.may_reach(data[1]))
        self.assertEqual(coverage.may_reach(code[1]), {"S.Runs"})


class SameCodeTest(unittest.TestCase):
    def test_only_what_the_optimiser_folds_away_makes_the_originals_code(self):
        text = "int Clamp(int x) {\n  if (x > 10) return 10;\n  if (x > 20) return 20;\n  return x;\n}\n"
        with tempfile.TemporaryDirectory() as root:
            path = os.path.join(root, "core", "a.cpp")
            with open(os.path.join(root, "compile_commands.json"), "w", encoding="utf-8") as out:
                json.dump([{"directory": root, "file": path, "command":
                            f"g++ -std=c++20 -O1 -DNDEBUG -MD -MT a.o -MF a.d -o a.o -c {path}"}], out)
            command = mutants.compile_commands(root, root)["core/a.cpp"]
            self.assertEqual(command, (root, ["g++", "-std=c++20", "-O1"]))
            original = mutants.machine_code(command, root, text)
            same = {(m.line, m.col, m.replacement) for m in mutants.MutantFinder("core/a.cpp", text).find()
                    if mutants.machine_code(command, root, m.apply(text)) == original}
            self.assertIsNone(mutants.machine_code(command, root, "int Clamp(int x) {"))
        # Every change to the line after the first return that keeps it dead, and the two
        # that only move the first one's edge onto 10, which it returns either way.
        self.assertEqual(same, {(2, 9, ">="), (2, 11, "9"), (3, 7, "false"), (3, 9, ">="), (3, 11, "19"),
                                (3, 11, "21"), (3, 22, "19"), (3, 22, "21")})


class TreeTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.source = os.path.join(self.dir.name, "source")
        self.copy = os.path.join(self.dir.name, "copy")
        os.makedirs(os.path.join(self.source, "core"))
        self.write(self.source, "core/a.cpp", "int F(int x) { return x + 1; }\n")
        self.write(self.source, "core/gone.cpp", "")
        self.mutant = mutants.MutantFinder("core/a.cpp", "int F(int x) { return x + 1; }\n").find()[0]

    def tearDown(self):
        self.dir.cleanup()

    @staticmethod
    def write(root, path, text):
        os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
        with open(os.path.join(root, path), "w", encoding="utf-8") as out:
            out.write(text)

    def built_object(self):
        """Stands for the object the build makes of the file as it is now."""
        time.sleep(0.01)
        self.write(self.copy, "build/a.o", "")
        return os.stat(os.path.join(self.copy, "build/a.o")).st_mtime_ns

    def test_a_mutant_is_put_back_with_a_time_stamp_the_build_sees(self):
        tree = mutants.Tree(self.source, self.copy)
        tree.sync()
        try:
            tree.apply(self.mutant)
            self.assertEqual(tree.read("core/a.cpp"), "int F(int x) { return x - 1; }\n")
            built = self.built_object()
            raise RuntimeError("a run that fails half way")
        except RuntimeError:
            pass
        finally:
            tree.restore()
        self.assertEqual(tree.read("core/a.cpp"), "int F(int x) { return x + 1; }\n")
        self.assertGreater(os.stat(os.path.join(self.copy, "core/a.cpp")).st_mtime_ns, built)
        self.assertFalse(os.path.exists(os.path.join(self.copy, mutants.Tree.JOURNAL)))

    def test_the_next_run_refreshes_a_copy_a_killed_run_left_mutated(self):
        killed = mutants.Tree(self.source, self.copy)
        killed.sync()
        killed.apply(self.mutant)  # and never restored
        built = self.built_object()
        os.remove(os.path.join(self.source, "core/gone.cpp"))
        self.assertEqual(mutants.Tree(self.source, self.copy).sync(), 2)
        self.assertEqual(sorted(os.listdir(os.path.join(self.copy, "core"))), ["a.cpp"])
        self.assertEqual(mutants.Tree(self.source, self.copy).read("core/a.cpp"),
                         "int F(int x) { return x + 1; }\n")
        self.assertGreater(os.stat(os.path.join(self.copy, "core/a.cpp")).st_mtime_ns, built)
        self.assertTrue(os.path.exists(os.path.join(self.copy, "build/a.o")))
        self.assertEqual(mutants.Tree(self.source, self.copy).sync(), 0)


# Runs the tests its filter names in the order they are defined, as GoogleTest does.
FAKE_TESTS = """\
#!{python}
import os, signal, sys, time
ORDER = ["S.Hang", "S.AfterHang", "S.Crash", "S.AfterCrash", "S.Fail", "S.Pass"]
wanted = sys.argv[-1].split("=", 1)[1].split(":")
names = [name for name in ORDER if name in wanted]
for name in names:
    print("[ RUN      ] " + name, flush=True)
    if name == "S.Hang":
        time.sleep(60)
    if name == "S.Crash":
        os.kill(os.getpid(), signal.SIGSEGV)
    verdict = "FAILED  " if name == "S.Fail" else "      OK"
    print("[%s ] %s (3 ms)" % (verdict, name), flush=True)
for name in names:
    if name == "S.Fail":
        print("[  FAILED  ] " + name)
"""


class TestRunnerTest(unittest.TestCase):
    def test_failures_crashes_and_hangs_are_told_apart_and_the_tests_after_them_still_run(self):
        with tempfile.TemporaryDirectory() as directory:
            fake = os.path.join(directory, "unit_tests")
            with open(fake, "w", encoding="utf-8") as out:
                out.write(FAKE_TESTS.format(python=sys.executable))
            os.chmod(fake, 0o755)
            runner = mutants.TestRunner(fake, floor=1.0)
            tests = ["S.Crash", "S.AfterCrash", "S.Hang", "S.AfterHang", "S.Fail", "S.Pass"]
            durations = {t: n * 0.001 for n, t in enumerate(tests)}
            started = time.monotonic()
            outcomes = runner.run(tests, durations)
            self.assertLess(time.monotonic() - started, 10)
            self.assertEqual({t: o for t, (o, _) in outcomes.items()}, {
                "S.Crash": "crash", "S.AfterCrash": "pass", "S.Hang": "timeout",
                "S.AfterHang": "pass", "S.Fail": "fail", "S.Pass": "pass"})
            # Stopping at the first catch, the quick tests run first, whatever their order
            # of definition, and the slow one is never started.
            started = time.monotonic()
            first = mutants.TestRunner(fake, floor=30.0, workers=1).run(
                ["S.Hang", "S.Fail"], {"S.Fail": 0.0, "S.Hang": 2.0}, stop_at_first=True)
            self.assertLess(time.monotonic() - started, 5)
            self.assertEqual(first, {"S.Fail": ("fail", 0.003)})

    def test_a_failed_build_is_told_as_code_that_did_not_compile_or_a_step_that_ran_it(self):
        # A step that runs the built code (the PPD's generation) names its output, in
        # Ninja's words and in make's.
        self.assertEqual(mutants.build_failure("a.cpp:3:1: error: expected ';'\nFAILED: a.o"),
                         ("not compiled", "expected ';'"))
        self.assertEqual(mutants.build_failure("FAILED: share/tq33.ppd \ncd build && ./tq33"),
                         ("build", "share/tq33.ppd"))
        self.assertEqual(mutants.build_failure(
            "gmake[3]: *** [CMakeFiles/tq33_ppd.dir/build.make:74: share/tq33.ppd] Error 1\n"
            "gmake: *** [Makefile:508: unit_tests] Error 2"), ("build", "share/tq33.ppd"))

    def test_corpus_replays_beside_the_unit_tests_run_as_tests_of_their_own(self):
        with tempfile.TemporaryDirectory() as directory:
            bin_dir = os.path.join(directory, "build", "mutants", "bin")
            os.makedirs(bin_dir)
            os.makedirs(os.path.join(directory, "fuzz", "corpus", "page"))
            programs = {"unit_tests": "print('S.\\n  Pass')",
                        "fuzz_replay_page": "assert os.path.isdir(sys.argv[1])",
                        "fuzz_replay_stream": "os.abort()",
                        "fuzz_replay_escape": "sys.exit(1)",
                        "fuzz_replay_media_file": "time.sleep(60)"}
            for name, body in programs.items():
                with open(os.path.join(bin_dir, name), "w", encoding="utf-8") as out:
                    out.write(f"#!{sys.executable}\nimport os, sys, time\n{body}\n")
                os.chmod(os.path.join(bin_dir, name), 0o755)
            executable = os.path.join(bin_dir, "unit_tests")
            tests = mutants.list_tests(executable)
            self.assertEqual(tests, ["CorpusReplay.escape", "CorpusReplay.media_file",
                                     "CorpusReplay.page", "CorpusReplay.stream", "S.Pass"])
            started = time.monotonic()
            outcomes = mutants.TestRunner(executable, floor=1.0).run(tests[:4])
            self.assertLess(time.monotonic() - started, 10)
            self.assertEqual({t: o for t, (o, _) in outcomes.items()}, {
                "CorpusReplay.escape": "fail", "CorpusReplay.media_file": "timeout",
                "CorpusReplay.page": "pass", "CorpusReplay.stream": "crash"})


if __name__ == "__main__":
    unittest.main()
