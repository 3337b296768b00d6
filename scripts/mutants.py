#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Mutation runs over the driver core: do the tests catch small, plausible faults?

Every mutant is one small change to one source file of the core (context/ driver/ device/
settings/ raster/ eps/ modeldata/ stream/): a comparison turned or moved by one, an
equality inverted, && and || swapped, an integer constant or an index one off, a condition
made always true or always false, a call or an assignment removed, a mask bit flipped, &
and | swapped, + and - swapped (OPERATORS lists them). The mutants of a tree are always the
same, in the same order; each has a stable id: file:line:column:operator:replacement.

A run works at a low priority (nice 10), in a copy of the tree (build/mutation/tree,
refreshed from the working tree at the start of every run; the working tree is never
written), with a build of its own there (preset `mutants`: -O1, no sanitizers, tests on).
For each mutant it writes the changed file into the copy, rebuilds (the driver and
model-data libraries are shared and loaded by path, so only the changed library is
relinked), runs the tests whose run executes the mutated line, each with a time limit, and
puts the file back before the next mutant; whatever happens, the copy is restored (and a
copy left changed by a killed run is refreshed at the next start). A mutant no test catches
is run against the rest of the suite before it is called survived (but for the slow tests
that cannot run its code: none of its function's lines runs in them). Which test executes
which line comes from a coverage build (preset `mutants-coverage`), every test run alone
once; the map is kept in build/mutation/ until a file the builds read changes. The tests are
the unit tests and the corpus replays beside them (CorpusReplay.<target>: a fuzz target
built without the fuzzer, over its whole committed corpus, which CTest runs in parts).

Verdicts: caught (by the tests named; "(build)" when a step of the build that runs the code,
the generation of the installed PPD, fails on it), timeout (a test ran past its limit:
counted as caught), survived, equivalent (named in tests/mutants-equivalent.txt, with why no
test can tell it from the original: nothing is run), not covered (no test executes the
line: nothing is run), not compiled.

Usage:
  mutants.py [--files PATTERN...] [--ids ID...] [--sample N --seed S] [--minutes M] [--run-minutes M]
             [--catchers all|first] [--resume | --survivors [TABLE]] [--without TEST...] [--headers]
             [--recheck]
             [--one-build] [--coverage-preset P] [--jobs N] [--work DIR] [--out DIR] [--list]
             [--same-code]

  --files      only these files or folders (relative to the tree; shell patterns allowed)
  --ids        only these mutants
  --sample     N mutants drawn with --seed (default 1) from those selected
  --minutes    stop after M minutes (setup included) and write what is decided
  --run-minutes  stop after M minutes of running mutants, the set-up not counted (CI's sample:
               on a slow machine the builds alone would use up a limit that counts them)
  --catchers   all: every covering test runs, so that the table knows every catcher (the
               default); first: a mutant stops at its first catcher (faster)
  --resume     keep the verdicts of the existing table whose file is unchanged; run the rest
  --survivors  run again only the survivors of TABLE (default: the existing table), and the
               mutants no test covered then
  --without    leave these tests out (shell patterns): run a test's catches with --ids and
               this, and its survivors are what it alone catches
  --sanitizer  run each survivor's covering tests again in the copy's `dev` build (address and
               undefined-behaviour sanitizers), where a read or write just past a block fails;
               the corpus replays then run there only, once, where they check as much and more
  --recheck    run the listed equivalents too: one that a test catches is listed wrongly (its
               line has moved to other code, or its reason no longer holds), and is named
  --headers    mutate the headers of the core too (a change there rebuilds every includer)
  --one-build  run the mutants in the coverage build: one build to make instead of two,
               tests about twice as slow (for a short run on a fresh machine)
  --coverage-preset  the coverage build: mutants-coverage (the default, every test) or
               mutants-core (the tests of the core alone: no tool, filter or printer
               application to build)
  --jobs       test processes at a time (default 2)
  --work       where the copy, its builds and the coverage map live (default build/mutation)
  --out        where the table goes (default WORK/results)
  --list       print the mutants and their counts by file and operator; build nothing
  --same-code  compile each selected mutant (of a .cpp file; the listed equivalents only with
               --recheck) with its file's command of the build, at -O2, and compare the
               assembly with the original's (the optimiser kept from reasoning from undefined
               behaviour): the same means no test can tell them apart. Those are written to
               same-code.txt in the table's folder, each a line for the list of equivalents;
               nothing is run

The table: mutants.tsv (one line per mutant), mutants.json (the same, for tools) and
summary.md (counts by file, by operator and in all, the survivors, and the tests that alone
catch some mutant).
"""

import argparse
import concurrent.futures
import fnmatch
import hashlib
import json
import os
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
CORE_DIRS = ["context", "driver", "device", "settings", "raster", "eps", "modeldata", "stream"]
WORK = os.path.join(ROOT, "build", "mutation")
BUILD_PRESET = "mutants"
SANITIZER_PRESET = "dev"
# The tests, and the libraries they load by path at run time (no link step rebuilds those).
SANITIZER_TARGETS = ["unit_tests", "tq33drv", "tq33modeldata"]
COVERAGE_PRESET = "mutants-coverage"
# What neither the builds nor the unit tests read: a change there keeps the coverage map.
NOT_BUILT = {"scripts", "docs", ".ci", "Makefile", "LICENSE"}
WORKERS = 2  # test processes at a time (--jobs): the machines this runs on have two cores
# A test this slow (seconds) is left out of a survivor's run of the rest of the suite when
# the coverage map shows it cannot run the mutated code.
SLOW_TEST = 0.5

OPERATORS = {
    "relational": "< and > swapped, <= and >= swapped",
    "boundary": "< and <=, > and >= swapped",
    "equality": "== and != swapped",
    "logical": "&& and || swapped",
    "constant": "an integer constant one more and one less",
    "index": "a subscript one more and one less",
    "condition": "the condition of an if always true, always false",
    "statement": "a call, an assignment or an increment removed",
    "bitmask": "a mask constant of & | ^ with a bit flipped",
    "bitwise": "& and | swapped (also &= and |=)",
    "arithmetic": "+ and - swapped (also += and -=)",
}

VERDICTS = ["caught", "timeout", "survived", "equivalent", "not covered", "not compiled"]

# The kept list of mutants that behave as the original does: one a line, the id and why.
EQUIVALENTS = os.path.join("tests", "mutants-equivalent.txt")

# ---------------------------------------------------------------------------------------
# Tokens

TOKEN = re.compile(r"""
    (?P<ws>[ \t\r\f\v]+|\n)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<raw>(?:u8|[uUL])?R"(?P<delim>[^()\\\s]{0,16})\(.*?\)(?P=delim)")
  | (?P<string>(?:u8|[uUL])?"(?:\\.|[^"\\\n])*")
  | (?P<char>(?:u8|[uUL])?'(?:\\.|[^'\\\n])*')
  | (?P<number>\.?[0-9](?:[eEpP][+-]|[0-9A-Za-z_.']|'[0-9A-Za-z])*)
  | (?P<ident>[A-Za-z_][A-Za-z_0-9]*)
  | (?P<op>>>=|<<=|<=>|->\*|\.\.\.|::|->|\+\+|--|<<|>>|<=|>=|==|!=|&&|\|\||[-+*/%&|^]=
           |[-+*/%&|^~!=<>?:;,.(){}\[\]#@$\\])
""", re.S | re.X)

INTEGER = re.compile(r"(0[xX][0-9a-fA-F']+|0[bB][01']+|[0-9][0-9']*)([uUlLzZ]*)$")


class Token:
    __slots__ = ("kind", "text", "start", "end", "line", "col", "space_before", "space_after")

    def __init__(self, kind, text, start, end, line, col):
        self.kind, self.text, self.start, self.end = kind, text, start, end
        self.line, self.col = line, col
        self.space_before = self.space_after = False

    def __repr__(self):
        return f"{self.text}@{self.line}:{self.col}"


def tokenize(text):
    """The tokens of a C++ source, without comments and preprocessor lines; each knows its
    line, column (both from 1) and whether white space stands on either side of it."""
    tokens = []
    pos = 0
    line = 1
    line_start = 0
    at_line_start = True
    gap = True
    while pos < len(text):
        if at_line_start and text[pos] == "#":
            # A directive runs to the end of its line, continued by a backslash.
            end = pos
            while True:
                newline = text.find("\n", end)
                if newline < 0:
                    end = len(text)
                    break
                if text[newline - 1] != "\\":
                    end = newline
                    break
                end = newline + 1
            line += text.count("\n", pos, end)
            line_start = text.rfind("\n", 0, end) + 1 if "\n" in text[pos:end] else line_start
            pos = end
            gap = True
            continue
        match = TOKEN.match(text, pos)
        if not match:
            raise ValueError(f"line {line}: cannot read {text[pos:pos + 20]!r}")
        kind = match.lastgroup if match.lastgroup != "delim" else "raw"
        if kind == "ws" or kind == "comment":
            newlines = match.group().count("\n")
            if newlines:
                line += newlines
                line_start = match.start() + match.group().rfind("\n") + 1
                at_line_start = True
            if tokens:
                tokens[-1].space_after = True
            gap = True
        else:
            if kind == "raw":
                kind = "string"
            token = Token(kind, match.group(), match.start(), match.end(), line,
                          match.start() - line_start + 1)
            token.space_before = gap
            tokens.append(token)
            newlines = match.group().count("\n")  # raw strings may span lines
            if newlines:
                line += newlines
                line_start = match.start() + match.group().rfind("\n") + 1
            at_line_start = False
            gap = False
        pos = match.end()
    return tokens


# ---------------------------------------------------------------------------------------
# Where the mutants are

TYPE_WORDS = {
    "auto", "bool", "char", "char8_t", "char16_t", "char32_t", "class", "const", "constexpr",
    "consteval", "constinit", "double", "enum", "extern", "float", "inline", "int", "long",
    "mutable", "register", "short", "signed", "static", "struct", "thread_local", "typename",
    "union", "unsigned", "void", "volatile", "wchar_t",
}
# Words after which a token starts an operand rather than continuing one.
NOT_OPERAND_END = TYPE_WORDS | {
    "return", "case", "default", "throw", "else", "do", "new", "delete", "sizeof", "alignof",
    "co_return", "co_yield", "co_await", "operator", "template", "typedef", "using",
    "goto", "noexcept", "decltype", "if", "while", "for", "switch", "static_assert",
    "alignas", "typeid", "not", "and", "or",
}
# Parenthesised parts that are not run-time expressions.
UNEVALUATED = {"static_assert", "sizeof", "alignof", "alignas", "decltype", "noexcept",
               "typeid", "__attribute__", "asm", "__asm__"}
CASTS = {"static_cast", "reinterpret_cast", "const_cast", "dynamic_cast", "bit_cast"}
ASSIGNMENTS = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>="}
OPENERS = {"(": ")", "[": "]", "{": "}"}


class Mutant:
    __slots__ = ("file", "line", "col", "op", "original", "replacement", "start", "end",
                 "first_line", "last_line", "scope")

    def __init__(self, file, op, first, last, original, replacement, start, end,
                 statement_line, scope):
        self.file, self.op = file, op
        self.line, self.col = first.line, first.col
        self.original, self.replacement = original, replacement
        self.start, self.end = start, end
        self.first_line = min(statement_line, first.line)
        self.last_line = last.line
        # (first line, last line, constexpr) of the enclosing function, or None
        self.scope = scope

    @property
    def id(self):
        return f"{self.file}:{self.line}:{self.col}:{self.op}:{self.replacement}"

    def shown(self):
        """original → mutated, on one line."""
        def squeeze(text):
            text = " ".join(text.split())
            return text if len(text) <= 70 else text[:67] + "..."
        return squeeze(self.original), squeeze(self.replacement) if self.replacement else "(removed)"

    def apply(self, text):
        return text[:self.start] + self.replacement + text[self.end:]


class MutantFinder:
    """Walks the tokens of one file: namespaces and records, the statements of function
    bodies, the expressions within them; collects the mutants in file order."""

    def __init__(self, path, text, active_lines=None):
        self.path = path
        self.text = text
        tokens = tokenize(text)
        if active_lines is not None:
            tokens = [t for t in tokens if t.line in active_lines]
        self.t = tokens
        self.match = self._match_brackets()
        self.templates = self._template_brackets()
        self.mutants = []
        self.statement_line = 1
        self.scope = None

    # -- structure -------------------------------------------------------------------
    def _match_brackets(self):
        match = {}
        stack = []
        for i, token in enumerate(self.t):
            if token.text in OPENERS:
                stack.append(i)
            elif token.text in (")", "]", "}"):
                if not stack or OPENERS[self.t[stack[-1]].text] != token.text:
                    raise ValueError(f"{self.path}:{token.line}: unbalanced {token.text}")
                opener = stack.pop()
                match[opener] = i
                match[i] = opener
        if stack:
            raise ValueError(f"{self.path}:{self.t[stack[-1]].line}: unclosed {self.t[stack[-1]].text}")
        return match

    def _template_brackets(self):
        """opener index -> closer index of every < ... > that is a template's brackets."""
        found = {}
        stop = {";", "{", "}", "==", "!=", "&&", "||", "<=", ">=", "?", "=", "+", "-", "/",
                "%", "|", "^", "!", "<<", "+=", "-="}
        i = 0
        while i < len(self.t):
            token = self.t[i]
            if token.text != "<" or i == 0:
                i += 1
                continue
            before = self.t[i - 1]
            if before.text == "operator" or (i > 1 and self.t[i - 2].text == "operator"):
                i += 1
                continue
            sure = before.text in ("template",) or before.text in CASTS
            if not sure and before.kind != "ident":
                i += 1
                continue
            depth = 0
            j = i
            closer = None
            while j < len(self.t) and j - i < 60:
                text = self.t[j].text
                if text == "<":
                    depth += 1
                elif text in (">", ">>"):
                    depth -= len(text)
                    if depth <= 0:
                        closer = j
                        break
                elif text in ("(", "["):
                    j = self.match[j]
                elif text in (")", "]") or (text in stop and not sure):
                    break
                j += 1
            if closer is not None and not sure:
                after = self.t[closer + 1].text if closer + 1 < len(self.t) else ""
                if after not in ("(", "::", "{", ">", ")", ",", ";", "&", "*", "&&", "...",
                                 "[", "=") and self.t[closer + 1].kind != "ident":
                    closer = None
            if closer is not None:
                found[i] = closer
                i = closer + 1
            else:
                i += 1
        return found

    def operand_end(self, i):
        """Token i ends an operand, so that the operator after it is binary."""
        if i < 0:
            return False
        token = self.t[i]
        if token.kind in ("number", "string", "char"):
            return True
        if token.kind == "ident":
            return token.text not in NOT_OPERAND_END
        return token.text in (")", "]", "++", "--") or (
            token.text in (">", ">>") and i in self.match_template_closers)

    @property
    def match_template_closers(self):
        if not hasattr(self, "_closers"):
            self._closers = set(self.templates.values())
        return self._closers

    def operand_start(self, i):
        if i >= len(self.t):
            return False
        token = self.t[i]
        return token.kind in ("number", "string", "char") or (
            token.kind == "ident" and token.text not in TYPE_WORDS) or token.text in (
            "(", "~", "!", "-", "+", "*", "&", "::", "++", "--")

    def find(self):
        self.namespace_body(0, len(self.t))
        self.mutants.sort(key=lambda m: (m.start, m.op, m.replacement))
        return self.mutants

    def add(self, op, first, last, replacement, start=None, end=None):
        start = self.t[first].start if start is None else start
        end = self.t[last].end if end is None else end
        self.mutants.append(Mutant(self.path, op, self.t[first], self.t[last], self.text[start:end],
                                   replacement, start, end, self.statement_line, self.scope))

    def skip_to(self, i, end, stops):
        """The index of the first token of stops at bracket depth 0 from i, or end."""
        while i < end and self.t[i].text not in stops:
            i = self.match[i] + 1 if self.t[i].text in OPENERS else i + 1
        return i

    def namespace_body(self, i, end):
        while i < end:
            text = self.t[i].text
            if text in (";", "}"):
                i += 1
            elif text in ("namespace", "extern") and self._block_follows(i, end):
                brace = self.skip_to(i, end, {"{"})
                self.namespace_body(brace + 1, self.match[brace])
                i = self.match[brace] + 1
            elif text in ("static_assert", "using", "typedef", "friend"):
                i = self.skip_to(i, end, {";"}) + 1
            elif text == "template" and i + 1 < end and self.t[i + 1].text == "<":
                i = self.templates.get(i + 1, i + 1) + 1
            else:
                i = self.declaration(i, end, in_record=False)

    def _block_follows(self, i, end):
        j = i + 1
        while j < end and (self.t[j].kind in ("ident", "string") or self.t[j].text == "::"):
            j += 1
        return j < end and self.t[j].text == "{"

    def record_body(self, i, end):
        """Members are the record's layout: only the bodies of member functions count."""
        while i < end:
            text = self.t[i].text
            if text in (";", "}", ":") or text in ("public", "private", "protected"):
                i += 1
            elif text in ("static_assert", "using", "typedef", "friend"):
                i = self.skip_to(i, end, {";"}) + 1
            elif text == "template" and i + 1 < end and self.t[i + 1].text == "<":
                i = self.templates.get(i + 1, i + 1) + 1
            else:
                i = self.declaration(i, end, in_record=True)

    def declaration(self, i, end, in_record):
        """A declaration at namespace or record level from i: a record, a function (whose
        body is code), a variable (whose initializer is an expression). Returns the index
        after it."""
        j = i
        record = False
        while j < end:
            token = self.t[j]
            text = token.text
            if text in ("struct", "class", "union", "enum"):
                record = True
            if text == ";":
                return j + 1
            if text == "<" and j in self.templates:
                j = self.templates[j] + 1
                continue
            if text == "(":
                j = self.match[j] + 1
                continue
            if text == "[":
                j = self.match[j] + 1
                continue
            if text == "=" and not in_record:
                stop = self.skip_to(j + 1, end, {";"})
                self.scope = None
                self.statement_line = token.line
                self.expression(j + 1, stop)
                return stop + 1
            if text == "=":
                return self.skip_to(j + 1, end, {";"}) + 1
            if text == "{":
                close = self.match[j]
                before = self.t[j - 1].text if j > i else ""
                if record and not self._parenthesised_between(i, j):
                    self.record_body(j + 1, close)
                    j = close + 1
                    continue  # declarators may follow: struct X {...} x;
                if before == ")" or before in ("const", "noexcept", "override", "final") or \
                        self._trailing_return(i, j):
                    compile_time = any(self.t[k].text in ("constexpr", "consteval")
                                       for k in range(i, j))
                    self.scope = (self.t[j].line, self.t[close].line, compile_time)
                    self.code_block(j + 1, close)
                    self.scope = None
                    return close + 1
                if not in_record:  # a braced initializer
                    self.statement_line = self.t[j].line
                    self.expression(j, close + 1)
                j = close + 1
                continue
            j += 1
        return j

    def _parenthesised_between(self, i, j):
        return any(self.t[k].text == "(" for k in range(i, j))

    def _trailing_return(self, i, j):
        return any(self.t[k].text == "->" for k in range(i, j)) and any(
            self.t[k].text == ")" for k in range(i, j))

    # -- statements ------------------------------------------------------------------
    def code_block(self, i, end):
        while i < end:
            i = self.statement(i, end)

    def statement(self, i, end):
        """One statement from i; returns the index after it."""
        token = self.t[i]
        text = token.text
        self.statement_line = token.line
        if text == "{":
            self.code_block(i + 1, self.match[i])
            return self.match[i] + 1
        if text == ";":
            return i + 1
        if text == "if":
            j = i + 1
            constexpr = j < end and self.t[j].text == "constexpr"
            if constexpr:
                j += 1
            if j < end and self.t[j].text == "!":  # if ! consteval
                j += 1
            if self.t[j].text != "(":
                return self.statement(j, end)
            close = self.match[j]
            if not constexpr:
                self.condition(j + 1, close)
            body = self.statement(close + 1, end)
            if body < end and self.t[body].text == "else":
                body = self.statement(body + 1, end)
            return body
        if text in ("while", "switch"):
            close = self.match[i + 1]
            self.expression(i + 2, close)
            return self.statement(close + 1, end)
        if text == "for":
            close = self.match[i + 1]
            self.for_head(i + 2, close)
            return self.statement(close + 1, end)
        if text == "do":
            after = self.statement(i + 1, end)
            close = self.match[after + 1]  # while ( ... )
            self.statement_line = self.t[after].line
            self.expression(after + 2, close)
            return close + 2
        if text == "try":
            j = self.statement(i + 1, end)
            while j < end and self.t[j].text == "catch":
                j = self.statement(self.match[j + 1] + 1, end)
            return j
        if text in ("case", "default"):
            return self.skip_to(i + 1, end, {":"}) + 1
        if token.kind == "ident" and i + 1 < end and self.t[i + 1].text == ":" and \
                text not in NOT_OPERAND_END:
            return i + 2  # a label
        if text in ("break", "continue", "goto", "static_assert", "using", "typedef",
                    "namespace", "asm", "__asm__"):
            return self.skip_to(i, end, {";"}) + 1
        if text in ("struct", "class", "union", "enum"):
            return self.declaration(i, end, in_record=False)
        if text == "template":
            return self.skip_to(i, end, {";"}) + 1
        stop = self.skip_to(i, end, {";"})
        if text == "return" or text == "throw" or text in ("co_return", "co_yield"):
            self.expression(i + 1, stop)
        elif self.is_declaration(i, stop):
            self.declaration_statement(i, stop)
        else:
            self.expression(i, stop)
            if self.removable(i, stop):
                self.add("statement", i, stop - 1, "", end=self.t[stop - 1].end)
        return stop + 1

    def is_declaration(self, i, stop):
        """The tokens i..stop start a declaration: a type word, or a name (maybe qualified,
        maybe with template arguments) followed by another name or by * or & and a name."""
        if self.t[i].text in TYPE_WORDS:
            return True
        j = i
        while j < stop:
            token = self.t[j]
            text = token.text
            if text in ASSIGNMENTS or text in ("(", "{", ";", ".", "->"):
                return False
            if text == "<" and j in self.templates:
                j = self.templates[j]
                if j + 1 < stop and (self.t[j + 1].kind == "ident" or self.t[j + 1].text in ("*", "&", "&&")):
                    return True
                j += 1
                continue
            if text == "[":
                j = self.match[j] + 1
                continue
            if token.kind == "ident" and j + 1 < stop:
                after = self.t[j + 1]
                if after.kind == "ident" and after.text not in NOT_OPERAND_END:
                    return True
                if after.text in ("*", "&", "&&") and j + 2 < stop and (
                        self.t[j + 2].kind == "ident" or self.t[j + 2].text in ("*", "&", "const")):
                    return j == i or self.t[j - 1].text == "::"
            j += 1
        return False

    def declaration_statement(self, i, stop):
        """Only a declaration's initializers are expressions: from its first = ( or {."""
        j = i
        while j < stop:
            text = self.t[j].text
            if text == "<" and j in self.templates:
                j = self.templates[j] + 1
                continue
            if text == "[":
                j = self.match[j] + 1  # array bounds are layout
                continue
            if text in ("=", "(", "{"):
                self.expression(j if text != "=" else j + 1, stop)
                return
            j += 1

    def removable(self, i, stop):
        """A statement whose removal still compiles and changes something: an assignment,
        an increment or decrement, or a call."""
        if stop <= i:
            return False
        j = i
        call = False
        while j < stop:
            text = self.t[j].text
            if text in ASSIGNMENTS or text in ("++", "--"):
                return True
            if text == "(":
                close = self.match[j]
                call = close == stop - 1 and j > i and (
                    self.operand_end(j - 1) or self.t[j - 1].text in (">",))
                j = close + 1
                continue
            if text in ("[", "{"):
                j = self.match[j] + 1
                continue
            if text == "<" and j in self.templates:
                j = self.templates[j] + 1
                continue
            j += 1
        return call

    def for_head(self, i, close):
        semicolons = []
        j = i
        while j < close:
            j = self.skip_to(j, close, {";"})
            if j < close:
                semicolons.append(j)
                j += 1
        if len(semicolons) != 2:  # range for: the range is an expression
            colon = self.skip_to(i, close, {":"})
            self.expression(colon + 1, close)
            return
        first, second = semicolons
        if first > i:
            if self.is_declaration(i, first):
                self.declaration_statement(i, first)
            else:
                self.expression(i, first)
        self.expression(first + 1, second)
        self.expression(second + 1, close)

    def condition(self, i, close):
        """if (c): the expression, and c replaced by true and by false. With an
        init-statement only the condition after it; a declared condition stays."""
        j = i
        while True:
            semicolon = self.skip_to(j, close, {";"})
            if semicolon >= close:
                break
            if self.is_declaration(j, semicolon):
                self.declaration_statement(j, semicolon)
            else:
                self.expression(j, semicolon)
            j = semicolon + 1
        if j >= close:
            return
        if self.is_declaration(j, close):
            self.declaration_statement(j, close)
            return
        self.expression(j, close)
        present = self.text[self.t[j].start:self.t[close - 1].end]
        for value in ("true", "false"):
            if present.strip() != value:
                self.add("condition", j, close - 1, value)

    # -- expressions -----------------------------------------------------------------
    def expression(self, i, end):
        j = i
        while j < end:
            token = self.t[j]
            text = token.text
            if text == "(" and j > 0 and self.t[j - 1].text in UNEVALUATED:
                j = self.match[j] + 1
                continue
            if text == "<" and j in self.templates:
                j = self.templates[j] + 1
                continue
            if text == "[":
                j = self.bracket(j, end)
                continue
            if text == "{" and j > 0 and (self.t[j - 1].text in (")", "mutable") or
                                          self.t[j - 1].text == "]"):
                # a lambda's body
                saved = self.statement_line
                self.code_block(j + 1, self.match[j])
                self.statement_line = saved
                j = self.match[j] + 1
                continue
            if token.kind == "number":
                self.number(j)
            elif token.kind == "op":
                self.operator(j)
            j += 1

    def bracket(self, j, end):
        """A subscript (mutated), a lambda's introducer or an attribute (skipped), or an
        array declarator's bound (layout). Returns where the walk goes on."""
        close = self.match[j]
        if j + 1 < len(self.t) and self.t[j + 1].text == "[":
            return close + 1  # [[attribute]]
        if not self.operand_end(j - 1):
            # a lambda: its introducer and parameters are skipped, its body is code
            k = close + 1
            if k < end and self.t[k].text == "(":
                k = self.match[k] + 1
            return k
        before = self.t[j - 1]
        if before.kind == "ident" and j > 1 and (
                self.t[j - 2].kind == "ident" or self.t[j - 2].text in ("*", "&") and
                j > 2 and self.t[j - 3].kind == "ident") and self.t[j - 2].text not in NOT_OPERAND_END - {"new"}:
            return close + 1  # Type name[N]
        if j > 1 and self.t[j - 2].text == "new":
            return close + 1
        inner = (j + 1, close - 1)
        if close > j + 1 and not (close == j + 2 and self.t[j + 1].kind == "number"):
            first, last = inner
            simple = all(self.t[k].kind == "ident" or self.t[k].text in (".", "->", "::")
                         for k in range(first, last + 1))
            present = self.text[self.t[first].start:self.t[last].end]
            shown = present if simple else f"({present})"
            for delta in ("+ 1", "- 1"):
                self.add("index", first, last, f"{shown} {delta}")
        return j + 1

    def number(self, j):
        token = self.t[j]
        match = INTEGER.match(token.text)
        if not match:
            return
        digits, suffix = match.groups()
        value = int(digits.replace("'", ""), 0) if not re.match(r"0[0-7]", digits) else int(
            digits.replace("'", ""), 8)
        before = self.t[j - 1].text if j > 0 else ""
        after = self.t[j + 1].text if j + 1 < len(self.t) else ""
        mask = (before in ("&", "|", "^", "&=", "|=", "^=", "~") or after in ("&", "|", "^")) and value != 0
        if mask:
            lowest = value & -value
            # a mask loses its lowest bit; a single bit moves to the one below
            flipped = value ^ lowest if value != lowest else (value >> 1 if value > 1 else 2)
            self.add("bitmask", j, j, self.literal(digits, suffix, flipped))
            return
        for changed in (value + 1, value - 1):
            if changed >= 0:
                self.add("constant", j, j, self.literal(digits, suffix, changed))

    @staticmethod
    def literal(digits, suffix, value):
        """value written as the literal digits were: same base, case and least width."""
        if digits[:2] in ("0x", "0X"):
            width = len(digits) - 2 - digits.count("'")
            body = format(value, "0%dx" % width)
            if any(c in "ABCDEF" for c in digits[2:]):
                body = body.upper()
            return digits[:2] + body + suffix
        if digits[:2] in ("0b", "0B"):
            return digits[:2] + format(value, "0%db" % (len(digits) - 2 - digits.count("'"))) + suffix
        if len(digits) > 1 and digits[0] == "0":
            return "0" + format(value, "o") + suffix
        return str(value) + suffix

    def operator(self, j):
        text = self.t[j].text
        token = self.t[j]
        binary = self.operand_end(j - 1) and self.operand_start(j + 1)
        if not binary:
            return
        if text in ("<", ">", "<=", ">="):
            if j in self.templates or j in self.match_template_closers:
                return
            self.add("relational", j, j, {"<": ">", ">": "<", "<=": ">=", ">=": "<="}[text])
            self.add("boundary", j, j, {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}[text])
        elif text in ("==", "!="):
            self.add("equality", j, j, "!=" if text == "==" else "==")
        elif text in ("&&", "||", "&", "&=", "|", "|="):
            # A reference declarator hugs its type: Foo& x, Foo&& x.
            if text in ("&&", "&") and token.space_before != token.space_after:
                return
            swapped = {"&&": "||", "||": "&&", "&": "|", "|": "&", "&=": "|=", "|=": "&="}[text]
            self.add("logical" if text in ("&&", "||") else "bitwise", j, j, swapped)
        elif text in ("+", "-", "+=", "-="):
            self.add("arithmetic", j, j, {"+": "-", "-": "+", "+=": "-=", "-=": "+="}[text])


def active_lines(root, path):
    """The lines of path that the preprocessor keeps in this build (none of an #if branch
    not taken), or None when the compiler cannot tell."""
    try:
        output = subprocess.run(["g++", "-std=c++20", "-E", "-I", root, os.path.join(root, path)],
                                capture_output=True, text=True, check=True, cwd=root).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    marker = re.compile(r'# (\d+) "([^"]*)"')
    own = os.path.join(root, path)
    active = set()
    current = None
    number = 0
    for line in output.splitlines():
        found = marker.match(line)
        if found:
            number = int(found.group(1))
            current = os.path.normpath(os.path.join(root, found.group(2))) == own
            continue
        if current and line.strip():
            active.add(number)
        number += 1
    return active


def core_files(root, headers):
    suffixes = (".cpp", ".h") if headers else (".cpp",)
    files = []
    for folder in CORE_DIRS:
        directory = os.path.join(root, folder)
        if os.path.isdir(directory):
            files += [f"{folder}/{name}" for name in sorted(os.listdir(directory))
                      if name.endswith(suffixes)]
    return files


def generate(root, files, use_preprocessor=True):
    """Every mutant of files (relative to root), in file order."""
    mutants = []
    for path in files:
        with open(os.path.join(root, path), encoding="utf-8") as source:
            text = source.read()
        lines = active_lines(root, path) if use_preprocessor and path.endswith(".cpp") else None
        mutants += MutantFinder(path, text, lines).find()
    ids = set()
    for mutant in mutants:
        if mutant.id in ids:
            raise ValueError(f"two mutants share the id {mutant.id}")
        ids.add(mutant.id)
    return mutants


def load_equivalents(root, ids=()):
    """id -> why it is equivalent, from the kept list (empty when there is none). An id
    ends at the first blank, unless the line starts with one of ids and a blank: the ids
    of index mutants hold blanks ("index:(x) + 1")."""
    path = os.path.join(root, EQUIVALENTS)
    if not os.path.exists(path):
        return {}
    found = {}
    with open(path, encoding="utf-8") as text:
        for number, line in enumerate(text, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            ident, _, why = line.partition(" ")
            if ident not in ids:
                spaced = [i for i in ids if " " in i and line.startswith(i + " ")]
                if spaced:
                    ident = max(spaced, key=len)
                    why = line[len(ident):]
            if not why.strip():
                sys.exit(f"mutants: {EQUIVALENTS}:{number}: {ident} does not say why it is equivalent")
            found[ident] = why.strip()
    return found


# ---------------------------------------------------------------------------------------
# The copy of the tree

class Tree:
    """The copy a run mutates. sync() makes it like the working tree: every file that
    differs is written again, and a written file always gets a fresh time stamp, so that
    the build never keeps an object made from a mutant. One mutant at a time is applied;
    restore() puts the file back the same way."""

    JOURNAL = ".mutant-applied"  # names the file a mutant is applied to, while it is

    def __init__(self, source, copy):
        self.source, self.copy = source, copy
        self.applied = None  # (path, original bytes)

    def source_paths(self):
        try:
            listed = subprocess.run(
                ["git", "-C", self.source, "ls-files", "--cached", "--others", "--exclude-standard"],
                capture_output=True, text=True, check=True).stdout.splitlines()
        except (OSError, subprocess.CalledProcessError):
            listed = []
            for directory, subdirs, files in os.walk(self.source):
                subdirs[:] = [d for d in subdirs if not d.startswith(".") and not (
                    directory == self.source and d in ("build", "out"))]
                relative = os.path.relpath(directory, self.source)
                listed += [os.path.normpath(os.path.join(relative, f)) for f in files]
        return sorted(p for p in listed if os.path.isfile(os.path.join(self.source, p)))

    def sync(self):
        """Returns the number of files written or removed."""
        paths = self.source_paths()
        wanted = set(paths)
        journal = os.path.join(self.copy, self.JOURNAL)
        forced = set()
        if os.path.exists(journal):
            with open(journal, encoding="utf-8") as text:
                forced.add(text.read().strip())
        changed = 0
        for directory, subdirs, files in os.walk(self.copy):
            relative = os.path.relpath(directory, self.copy)
            if relative == ".":
                subdirs[:] = [d for d in subdirs if d != "build"]
            for name in files:
                path = os.path.normpath(os.path.join(relative, name))
                if path not in wanted and path != self.JOURNAL:
                    os.remove(os.path.join(self.copy, path))
                    changed += 1
        for path in paths:
            with open(os.path.join(self.source, path), "rb") as original:
                data = original.read()
            target = os.path.join(self.copy, path)
            if path not in forced and os.path.isfile(target):
                with open(target, "rb") as present:
                    if present.read() == data:
                        continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as out:
                out.write(data)
            shutil.copymode(os.path.join(self.source, path), target)
            changed += 1
        if os.path.exists(journal):
            os.remove(journal)
        return changed

    def read(self, path):
        with open(os.path.join(self.copy, path), encoding="utf-8") as text:
            return text.read()

    def apply(self, mutant):
        path = os.path.join(self.copy, mutant.file)
        with open(path, "rb") as text:
            original = text.read()
        with open(os.path.join(self.copy, self.JOURNAL), "w", encoding="utf-8") as journal:
            journal.write(mutant.file)
        self.applied = (path, original)
        with open(path, "w", encoding="utf-8") as out:
            out.write(mutant.apply(original.decode("utf-8")))

    def restore(self):
        if not self.applied:
            return
        path, original = self.applied
        with open(path, "wb") as out:
            out.write(original)
        self.applied = None
        os.remove(os.path.join(self.copy, self.JOURNAL))

    def digest(self, paths):
        """One hash of the contents of paths (relative to the copy)."""
        total = hashlib.sha256()
        for path in paths:
            total.update(path.encode() + b"\0")
            with open(os.path.join(self.copy, path), "rb") as data:
                total.update(hashlib.sha256(data.read()).digest())
        return total.hexdigest()


def file_hash(root, path):
    with open(os.path.join(root, path), "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()[:16]


# ---------------------------------------------------------------------------------------
# Builds and tests

def say(message):
    print(f"mutants: {message}", file=sys.stderr, flush=True)


def run_command(command, cwd):
    """Runs command in a process group of its own; returns (exit status, output). When the
    run is interrupted or stopped, the group is stopped too, so that no build of the copy
    outlives the run."""
    proc = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, start_new_session=True)
    try:
        output, _ = proc.communicate()
    except BaseException:
        # Terminated, Ninja stops the compilers it started (each in a group of its own);
        # what has not ended after a while is killed.
        for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, None)):
            try:
                os.killpg(proc.pid, sig)
                proc.wait(wait)
                break
            except subprocess.TimeoutExpired:
                continue
            except OSError:
                break
        raise
    return proc.returncode, output


CONFIGURED = set()  # the build folders configured by this run


def build(copy, preset, keep_going=False, targets=None):
    """Configures (once a run, so that a build kept from an earlier run takes up the presets
    as they are now) and builds preset in the copy, or only the targets listed (past a failed
    step when keep_going). Returns (ok, output)."""
    directory = os.path.join(copy, "build", preset)
    if directory not in CONFIGURED:
        status, output = run_command(["cmake", "--preset", preset], copy)
        if status != 0:
            return False, output
        CONFIGURED.add(directory)
    command = ["cmake", "--build", directory, "-j", "2"]
    command += ["--target", *targets] if targets else []
    if keep_going:  # Ninja's "go on past failures" takes a count; make's takes none
        ninja = os.path.exists(os.path.join(directory, "build.ninja"))
        command += ["--", "-k", "0"] if ninja else ["--", "-k"]
    status, output = run_command(command, copy)
    return status == 0, output


def build_mutant(copy, preset):
    """Builds the copy with a mutant applied, in one call of the build tool. Returns
    (failure, note): "not compiled" when the mutated code does not compile, "build" when a
    later step fails (one that runs the built code, as the generation of the installed PPD
    does: the steps that do not depend on it are built all the same), None when all is
    built."""
    ok, output = build(copy, preset, keep_going=True)
    return (None, "") if ok else build_failure(output)


def build_failure(output):
    """What a failed build's output says: ("not compiled", the first error) when code did
    not compile or link, else ("build", the step that failed: one that runs built code)."""
    if ": error: " in output or "ld returned" in output:
        return "not compiled", first_error(output)
    failed = (re.search(r"^FAILED: (\S+)", output, re.M) or  # Ninja
              re.search(r"\*\*\* \[[^\]]*?: ([^\]]+)\] Error", output))  # make
    return "build", failed.group(1) if failed else ""


def first_error(output):
    for line in output.splitlines():
        if ": error: " in line:
            return line.split(": error: ", 1)[1][:160]
    return ""


# The fuzz targets built without the fuzzer, each run over its whole committed corpus: a
# program beside the unit tests in bin/, which CTest runs in parts (CorpusReplay.<target>.<part>).
REPLAY = "CorpusReplay."


def test_command(executable, test):
    """The command that runs one test alone: a unit test, or a corpus replay."""
    if not test.startswith(REPLAY):
        return [executable, "--gtest_color=no", "--gtest_filter=" + test]
    target = test[len(REPLAY):]
    tree = os.path.normpath(os.path.join(executable, "..", "..", "..", ".."))  # build/P/bin/
    return [os.path.join(os.path.dirname(executable), "fuzz_replay_" + target),
            os.path.join(tree, "fuzz", "corpus", target)]


def replay_targets(tree):
    """The corpus replays of the test builds, by fuzz/CMakeLists.txt's list of targets."""
    with open(os.path.join(tree, "fuzz", "CMakeLists.txt"), encoding="utf-8") as text:
        found = re.search(r"set\(TQ33_FUZZ_TARGETS ([^)]*)\)", text.read())
    return ["fuzz_replay_" + name for name in found.group(1).split()] if found else []


def list_tests(executable):
    listed = subprocess.run([executable, "--gtest_list_tests"], capture_output=True, text=True,
                            check=True).stdout
    tests = sorted(REPLAY + name[len("fuzz_replay_"):] for name in
                   os.listdir(os.path.dirname(executable)) if name.startswith("fuzz_replay_"))
    suite = None
    for line in listed.splitlines():
        if not line.strip() or line.startswith("Running main"):
            continue
        if not line.startswith(" "):
            suite = line.split("#")[0].strip()
        else:
            tests.append(suite + line.split("#")[0].strip())
    return tests


RESULT_LINE = re.compile(r"\[ *(RUN|OK|FAILED|SKIPPED) *\] ([^ ,]+)(?:, where [^(]*)?(?: \((\d+) ms\))?")


class TestRunner:
    """Runs tests of the unit-test executable in several processes at once, each test with a
    time limit. A test that crashes its process or runs past its limit ends that process;
    the tests after it run in a new one."""

    def __init__(self, executable, limits=None, floor=10.0, workers=WORKERS):
        self.executable = executable
        self.workers = workers
        self.limits = limits or {}
        self.floor = floor
        self.procs = set()
        self.lock = threading.Lock()
        self.stop = threading.Event()

    def limit(self, test):
        return max(self.floor, self.limits.get(test, 0.0) * 5 + 2)

    def run(self, tests, durations=None, stop_at_first=False):
        """{test: (outcome, seconds)}, outcome pass, fail, crash or timeout; tests left
        out when a catch stopped the run are missing."""
        durations = durations or {}
        loads = [[0.0, []] for _ in range(min(self.workers, max(1, len(tests))))]
        for test in sorted(tests, key=lambda t: -durations.get(t, 0.0)):
            slot = min(loads, key=lambda load: load[0])
            slot[0] += durations.get(test, 0.0) + 0.01
            slot[1].append(test)
        outcomes = {}
        self.stop.clear()
        threads = []
        for _, share in loads:
            # Fastest first, for an early catch. A process runs its tests in the order they
            # are defined, whatever the filter's order: so the quick tests go together in one
            # process, and every slower one in a process of its own, after them.
            share.sort(key=lambda t: durations.get(t, 0.0))
            batches = [[]]
            total = 0.0
            for test in share:
                if batches[-1] and total + durations.get(test, 0.0) > 1.0:
                    batches.append([])
                    total = 0.0
                batches[-1].append(test)
                total += durations.get(test, 0.0)
            thread = threading.Thread(target=self._worker, args=(batches, outcomes, stop_at_first),
                                      daemon=True)
            thread.start()
            threads.append(thread)
        try:
            for thread in threads:
                while thread.is_alive():
                    thread.join(0.2)
        except BaseException:
            self.abort()
            raise
        return outcomes

    def abort(self):
        self.stop.set()
        with self.lock:
            for proc in list(self.procs):
                self._kill(proc)

    @staticmethod
    def _kill(proc):
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def _worker(self, batches, outcomes, stop_at_first):
        for batch in batches:
            unit_tests = [t for t in batch if not t.startswith(REPLAY)]
            if unit_tests and not self.stop.is_set():
                self._run_batch(unit_tests, outcomes, stop_at_first)
            for test in batch:
                if test.startswith(REPLAY) and not self.stop.is_set():
                    self._run_replay(test, outcomes, stop_at_first)

    def _run_replay(self, test, outcomes, stop_at_first):
        started = time.monotonic()
        try:
            proc = subprocess.Popen(test_command(self.executable, test),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    stdin=subprocess.DEVNULL, start_new_session=True)
        except OSError:  # not built: as a unit test whose process cannot start
            outcomes[test] = ("crash", 0.0)
            return
        with self.lock:
            self.procs.add(proc)
        outcome = None
        while outcome is None:
            try:
                status = proc.wait(timeout=0.2)
                outcome = "pass" if status == 0 else "crash" if status < 0 else "fail"
            except subprocess.TimeoutExpired:
                if self.stop.is_set() or time.monotonic() - started > self.limit(test):
                    self._kill(proc)
                    proc.wait()
                    outcome = "stopped" if self.stop.is_set() else "timeout"
        with self.lock:
            self.procs.discard(proc)
        if outcome == "stopped":
            return
        outcomes[test] = (outcome, time.monotonic() - started)
        if outcome != "pass" and stop_at_first:
            self.stop.set()

    def _run_batch(self, tests, outcomes, stop_at_first):
        remaining = list(tests)
        while remaining and not self.stop.is_set():
            proc = subprocess.Popen(
                [self.executable, "--gtest_color=no", "--gtest_filter=" + ":".join(remaining)],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                cwd=os.path.dirname(self.executable), start_new_session=True)
            with self.lock:
                self.procs.add(proc)
            current, started, reported = None, time.monotonic(), 0
            pending = b""
            timed_out = stopped = False
            while True:
                limit = self.limit(current) if current else 60.0
                left = started + limit - time.monotonic()
                if self.stop.is_set():
                    stopped = True  # a catch elsewhere: what this process ran is moot
                    self._kill(proc)
                    break
                if left <= 0:
                    timed_out = True
                    self._kill(proc)
                    break
                ready = _readable(proc.stdout, min(left, 0.5))
                if not ready:
                    continue
                data = os.read(proc.stdout.fileno(), 65536)
                if not data:
                    break
                pending += data
                *lines, pending = pending.split(b"\n")
                for raw in lines:
                    found = RESULT_LINE.match(raw.decode("utf-8", "replace").strip())
                    if not found:
                        continue
                    what, test, ms = found.groups()
                    if what == "RUN":
                        current, started = test, time.monotonic()
                    elif test == current:
                        seconds = int(ms) / 1000 if ms else time.monotonic() - started
                        outcome = "fail" if what == "FAILED" else "pass"
                        outcomes[test] = (outcome, seconds)
                        remaining.remove(test)
                        reported += 1
                        current, started = None, time.monotonic()
                        if outcome == "fail" and stop_at_first:
                            self.stop.set()
            proc.wait()
            proc.stdout.close()
            with self.lock:
                self.procs.discard(proc)
            if stopped:
                return
            if current:
                outcomes[current] = ("timeout" if timed_out else "crash",
                                     time.monotonic() - started)
                remaining.remove(current)
                if stop_at_first:
                    self.stop.set()
            elif reported == 0:
                # The process ran none of its tests (it could not start, or it hung
                # before the first): they count as crashed, not as passed.
                for test in remaining:
                    outcomes[test] = ("timeout" if timed_out else "crash", 0.0)
                remaining = []


def _readable(stream, timeout):
    import select
    ready, _, _ = select.select([stream], [], [], timeout)
    return bool(ready)


# ---------------------------------------------------------------------------------------
# Which test executes which line

class Coverage:
    """tests: the test names; lines: file -> line -> indices of the tests that execute it;
    executable: file -> the lines that hold code at all."""

    def __init__(self, data):
        self.key = data["key"]
        self.tests = data["tests"]
        self.lines = {f: {int(n): set(t) for n, t in lines.items()} for f, lines in data["lines"].items()}
        self.executable = {f: set(lines) for f, lines in data["executable"].items()}

    def to_json(self):
        return {"key": self.key, "tests": self.tests,
                "lines": {f: {str(n): sorted(t) for n, t in sorted(lines.items())}
                          for f, lines in sorted(self.lines.items())},
                "executable": {f: sorted(lines) for f, lines in sorted(self.executable.items())}}

    def tests_for(self, mutant):
        """The tests that execute the mutated code: those of the lines of its statement;
        where those hold no code of their own (a local constant), those of its function;
        outside a function (a constant, a table) and in a constexpr function that leaves no
        code of its own (it runs while compiling, and its results are data), those of the
        whole file."""
        executable = self.executable.get(mutant.file, set())
        lines = self.lines.get(mutant.file, {})
        span = [n for n in range(mutant.first_line, mutant.last_line + 1) if n in executable]
        if not span and mutant.scope:
            first, last, compile_time = mutant.scope
            span = [n for n in executable if first <= n <= last]
            if not span and compile_time:
                span = list(executable)
        if not span and not mutant.scope:
            span = list(executable)
        found = set()
        for n in span:
            found |= lines.get(n, set())
        return {self.tests[i] for i in found}

    def may_reach(self, mutant):
        """The tests that may run the mutated code at all, or None for every test: a
        mutant in the code of a function runs only where some line of that function runs;
        one in data or in compile-time code may be read from anywhere."""
        if not mutant.scope or mutant.scope[2]:
            return None
        first, last, _ = mutant.scope
        found = set()
        for n, tests in self.lines.get(mutant.file, {}).items():
            if first <= n <= last:
                found |= tests
        return {self.tests[i] for i in found}


def object_source(build_dir, gcno):
    """The source (relative to the tree) an object's notes file belongs to."""
    relative = os.path.relpath(gcno, build_dir)
    prefix, _, rest = relative.partition("CMakeFiles/")
    inside = rest.partition(".dir/")[2]
    return os.path.normpath(prefix + inside[:-len(".gcno")]) if inside else None


def compute_coverage(copy, key, cores, preset):
    build_dir = os.path.join(copy, "build", preset)
    executable = os.path.join(build_dir, "bin", "unit_tests")
    notes = []
    for directory, _, files in os.walk(build_dir):
        notes += [os.path.join(directory, f) for f in files if f.endswith(".gcno")]
    core_notes = [n for n in notes if object_source(build_dir, n) in cores]
    tests = list_tests(executable)
    lines = {}
    executable_lines = {}
    started = time.monotonic()
    for index, test in enumerate(tests):
        for note in notes:
            data = note[:-len(".gcno")] + ".gcda"
            if os.path.exists(data):
                os.remove(data)
        subprocess.run(test_command(executable, test), cwd=os.path.dirname(executable),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=900,
                       stdin=subprocess.DEVNULL)
        present = [n[:-len(".gcno")] + ".gcda" for n in core_notes
                   if os.path.exists(n[:-len(".gcno")] + ".gcda")]
        if present:
            report = subprocess.run(["gcov", "--json-format", "--stdout"] + present, cwd=build_dir,
                                    capture_output=True, text=True, check=True).stdout
            for document in report.splitlines():
                if not document.startswith("{"):
                    continue
                for entry in json.loads(document)["files"]:
                    source = os.path.relpath(os.path.join(build_dir, entry["file"]), copy)
                    if source.split("/", 1)[0] not in CORE_DIRS:
                        continue
                    file_lines = lines.setdefault(source, {})
                    known = executable_lines.setdefault(source, set())
                    for line in entry["lines"]:
                        known.add(line["line_number"])
                        if line["count"] > 0:
                            file_lines.setdefault(line["line_number"], set()).add(index)
        if (index + 1) % 25 == 0:
            say(f"coverage: {index + 1} of {len(tests)} tests ({time.monotonic() - started:.0f} s)")
    return Coverage({"key": key, "tests": tests,
                     "lines": {f: {n: sorted(t) for n, t in l.items()} for f, l in lines.items()},
                     "executable": {f: sorted(l) for f, l in executable_lines.items()}})


def load_coverage(tree, cores, work, preset):
    """The coverage map of the copy as it is now: kept in build/mutation/coverage.json
    while the tree is unchanged, made again otherwise."""
    key = preset + ":" + tree.digest([
        p for p in tree.source_paths() if not p.endswith(".md") and
        p.split("/", 1)[0] not in NOT_BUILT and not p.startswith("tests/scripts/") and p != EQUIVALENTS])
    path = os.path.join(work, "coverage.json")
    if os.path.exists(path):
        with open(path, encoding="utf-8") as text:
            data = json.load(text)
        if data.get("key") == key:
            return Coverage(data)
    say("coverage: building the coverage build")
    ok, output = build(tree.copy, preset)
    if not ok:
        sys.exit("mutants: the coverage build failed:\n" + output[-3000:])
    coverage = compute_coverage(tree.copy, key, cores, preset)
    write_atomically(path, json.dumps(coverage.to_json()))
    return coverage


def write_atomically(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".new", "w", encoding="utf-8") as out:
        out.write(text)
    os.replace(path + ".new", path)


# ---------------------------------------------------------------------------------------
# The table

class Table:
    """The verdicts by mutant id, written as mutants.tsv, mutants.json and summary.md."""

    def __init__(self, out, entries=None, meta=None):
        self.out = out
        self.entries = dict(entries or {})
        self.meta = meta if meta is not None else {}  # the run adds its figures as it ends

    @staticmethod
    def load(path):
        with open(path, encoding="utf-8") as text:
            data = json.load(text)
        # A kept table (docs/mutants-survivors.json) names no catching tests.
        for entry in data["mutants"]:
            for field in ("caught_by", "crashed", "timed_out"):
                entry.setdefault(field, [])
        return {entry["id"]: entry for entry in data["mutants"]}, data.get("run", {})

    def add(self, mutant, verdict, seconds, outcomes=None, covering=0, file_digest="", note="",
            build_seconds=0.0, rest_seconds=0.0):
        outcomes = outcomes or {}
        caught = sorted(t for t, (o, _) in outcomes.items() if o in ("fail", "crash"))
        entry = {
            "id": mutant.id, "file": mutant.file, "line": mutant.line, "column": mutant.col,
            "operator": mutant.op, "original": mutant.shown()[0], "mutated": mutant.shown()[1],
            "verdict": verdict, "caught_by": caught,
            "crashed": sorted(t for t, (o, _) in outcomes.items() if o == "crash"),
            "timed_out": sorted(t for t, (o, _) in outcomes.items() if o == "timeout"),
            "covering_tests": covering, "seconds": round(seconds, 2),
            "build_seconds": round(build_seconds, 2), "rest_seconds": round(rest_seconds, 2),
            "file_hash": file_digest,
        }
        if note:
            entry["note"] = note
        self.entries[mutant.id] = entry

    def ordered(self):
        return sorted(self.entries.values(), key=lambda e: (e["file"], e["line"], e["column"],
                                                            e["operator"], e["id"]))

    def write(self):
        entries = self.ordered()
        rows = ["\t".join(["file", "line", "column", "operator", "original", "mutated",
                           "verdict", "tests", "id"])]
        for e in entries:
            tests = [t + (" (crash)" if t in e["crashed"] else "") for t in e["caught_by"]]
            tests += [t + " (timeout)" for t in e["timed_out"]]
            cells = [e["file"], str(e["line"]), str(e["column"]), e["operator"], e["original"],
                     e["mutated"], e["verdict"], ", ".join(tests) or e.get("note", ""), e["id"]]
            rows.append("\t".join(c.replace("\t", " ") for c in cells))
        write_atomically(os.path.join(self.out, "mutants.tsv"), "\n".join(rows) + "\n")
        write_atomically(os.path.join(self.out, "mutants.json"),
                         json.dumps({"run": self.meta, "mutants": entries}, indent=1) + "\n")
        write_atomically(os.path.join(self.out, "summary.md"), self.summary())

    @staticmethod
    def counts(entries):
        row = {v: 0 for v in VERDICTS}
        for e in entries:
            row[e["verdict"]] += 1
        decided = row["caught"] + row["timeout"] + row["survived"]
        score = f"{100 * (row['caught'] + row['timeout']) / decided:.0f} %" if decided else "-"
        return [str(len(entries))] + [str(row[v]) for v in VERDICTS] + [score]

    def summary(self):
        entries = self.ordered()
        meta = self.meta
        head = "| | mutants | " + " | ".join(VERDICTS) + " | score |\n|---|" + "---:|" * (len(VERDICTS) + 2)
        text = ["# Mutation run", ""]
        text.append(", ".join(f"{k}: {v}" for k, v in meta.items() if k != "excluded_tests"))
        text += ["", "The score is (caught + timeout) / (caught + timeout + survived).", "",
                 "## By file", "", head]
        for name in sorted({e["file"] for e in entries}):
            text.append(f"| {name} | " + " | ".join(self.counts([e for e in entries if e["file"] == name])) + " |")
        text.append("| **all** | " + " | ".join(self.counts(entries)) + " |")
        text += ["", "## By operator", "", head]
        for op in OPERATORS:
            chosen = [e for e in entries if e["operator"] == op]
            if chosen:
                text.append(f"| {op} | " + " | ".join(self.counts(chosen)) + " |")
        if meta.get("excluded_tests"):
            text += ["", "## Tests left out (they fail without a mutant)", ""]
            text += [f"- {t}" for t in meta["excluded_tests"]]
        survivors = [e for e in entries if e["verdict"] == "survived"]
        text += ["", f"## Survivors ({len(survivors)})", ""]
        text += [f"- `{e['file']}:{e['line']}:{e['column']}` {e['operator']}: `{e['original']}` → "
                 f"`{e['mutated']}`" for e in survivors]
        text += ["", "## Tests that alone catch a mutant", ""]
        if meta.get("catchers") != "all":
            text.append("(Only a run with --catchers all knows every catcher of a mutant.)")
        else:
            alone = {}
            catching = set()
            for e in entries:
                catchers = set(e["caught_by"]) | set(e["timed_out"])
                catching |= catchers
                if len(catchers) == 1:
                    test = next(iter(catchers))
                    alone[test] = alone.get(test, 0) + 1
            text += [f"- {t}: {n}" for t, n in sorted(alone.items(), key=lambda kv: (-kv[1], kv[0]))]
            others = sorted(catching - set(alone))
            text += ["", f"Tests that catch mutants, none of them alone ({len(others)}):", ""]
            text += [f"- {t}" for t in others]
        return "\n".join(text) + "\n"


# ---------------------------------------------------------------------------------------
# A run

def select(mutants, files, sample, seed, ids=None):
    if ids:
        known = {m.id for m in mutants}
        missing = [i for i in ids if i not in known]
        if missing:
            sys.exit("mutants: no such mutant: " + ", ".join(missing))
        mutants = [m for m in mutants if m.id in ids]
    if files:
        def wanted(path):
            return any(fnmatch.fnmatch(path, p) or path.startswith(p.rstrip("/") + "/") or path == p
                       for p in files)
        mutants = [m for m in mutants if wanted(m.file)]
    if sample and sample < len(mutants):
        chosen = set(random.Random(seed).sample(range(len(mutants)), sample))
        mutants = [m for i, m in enumerate(mutants) if i in chosen]
    return mutants


class Interrupted(Exception):
    pass


def on_signal(number, _frame):
    raise Interrupted(signal.Signals(number).name)


def begin(args, headers):
    """What every run starts with: a low priority, the copy made like the working tree, its
    mutants and those selected; and the table's folder."""
    # Hours of builds and tests on machines others work on too: at a low priority, which
    # the builds, the compilers and the tests inherit.
    try:
        os.nice(10)
    except OSError:
        pass
    tree = Tree(ROOT, os.path.join(args.work, "tree"))
    os.makedirs(tree.copy, exist_ok=True)
    say(f"copy: {tree.sync()} files written to {os.path.relpath(tree.copy, ROOT)}")
    every = generate(tree.copy, core_files(tree.copy, headers))
    chosen = select(every, args.files, args.sample, args.seed, args.ids)
    return tree, every, chosen, os.path.abspath(args.out or os.path.join(args.work, "results"))


def run(args):
    started = time.monotonic()
    deadline = started + args.minutes * 60 if args.minutes else None
    tree, every, chosen, out = begin(args, args.headers)
    cores = core_files(tree.copy, True)
    equivalents = load_equivalents(tree.copy, {m.id for m in every})
    stale = sorted(set(equivalents) - {m.id for m in every})
    if stale:
        say(f"{EQUIVALENTS} names mutants the tree does not have (their code changed): "
            + ", ".join(stale))
    listed = equivalents
    if args.recheck:
        equivalents = {}
    entries, meta = {}, {}
    if args.resume or args.survivors is not None:
        table = args.survivors or os.path.join(out, "mutants.json")
        if os.path.exists(table):
            entries, meta = Table.load(table)
        elif args.survivors:
            sys.exit(f"mutants: no table {table}")
    hashes = {path: file_hash(tree.copy, path) for path in {m.file for m in chosen}}
    # The listed equivalents are not run; one no longer listed is run again.
    if args.survivors is not None:
        todo = [m for m in chosen
                if entries.get(m.id, {}).get("verdict") in ("survived", "not covered")]
    elif args.resume:
        todo = [m for m in chosen if entries.get(m.id, {}).get("file_hash") != hashes[m.file]
                or entries[m.id]["verdict"] == "equivalent"]
    else:
        todo = chosen
    todo = [m for m in todo if m.id not in equivalents]
    meta.update({"date": time.strftime("%Y-%m-%d %H:%M"), "selected": len(chosen),
                 "catchers": args.catchers})
    if args.sample:
        meta.update({"sample": args.sample, "seed": args.seed})
    table = Table(out, entries, meta)
    for mutant in chosen:
        if mutant.id in equivalents:
            table.add(mutant, "equivalent", 0.0, file_digest=hashes[mutant.file],
                      note=equivalents[mutant.id])
    say(f"{len(todo)} mutants to run of {len(chosen)} selected")

    coverage = load_coverage(tree, set(cores), args.work, args.coverage_preset)
    say(f"building the {args.preset} build")
    ok, output = build(tree.copy, args.preset)
    if not ok:
        sys.exit("mutants: the build of the unchanged tree failed:\n" + output[-3000:])
    executable = os.path.join(tree.copy, "build", args.preset, "bin", "unit_tests")
    all_tests = list_tests(executable)
    runner = TestRunner(executable, floor=args.timeout_floor, workers=args.jobs)
    baseline = runner.run(all_tests)
    durations = {t: s for t, (o, s) in baseline.items()}
    args.sanitizer_runner = None
    if args.sanitizer:
        say("building the sanitizer build's tests (once; then one object a survivor)")
        ok, output = build(tree.copy, SANITIZER_PRESET,
                           targets=SANITIZER_TARGETS + replay_targets(tree.copy))
        if not ok:
            say("the sanitizer build failed:\n" + output[-2000:])
            return 1
        # Its tests run two to three times slower: their limits are scaled to match.
        args.sanitizer_runner = TestRunner(
            os.path.join(tree.copy, "build", SANITIZER_PRESET, "bin", "unit_tests"),
            limits={t: d * 3 for t, d in durations.items()}, floor=args.timeout_floor * 3,
            workers=args.jobs)
        # A test that fails there without a mutant catches nothing.
        checked = args.sanitizer_runner.run(all_tests)
        args.sanitizer_failing = {t for t, (o, _) in checked.items() if o != "pass"}
        if args.sanitizer_failing:
            say("left out of the sanitizer check, failing there without a mutant: " +
                ", ".join(sorted(args.sanitizer_failing)))
    failing = sorted(t for t in all_tests if baseline.get(t, ("crash",))[0] != "pass")
    if failing:
        say("left out, failing without a mutant: " + ", ".join(failing))
    runner.limits = durations
    without = sorted(t for t in all_tests if any(fnmatch.fnmatchcase(t, p) for p in args.without))
    if without:
        say("left out as asked: " + ", ".join(without))
    suite = [t for t in all_tests if t not in failing and t not in without]
    meta["excluded_tests"] = failing + without
    setup = time.monotonic() - started
    say(f"set up in {setup:.0f} s; the suite runs in {sum(durations.values()):.0f} s of test time")
    if args.run_minutes:
        ends = time.monotonic() + args.run_minutes * 60
        deadline = min(deadline, ends) if deadline else ends

    previous = {sig: signal.signal(sig, on_signal) for sig in (signal.SIGTERM, signal.SIGHUP)}
    done = 0
    spent = 0.0
    last_write = time.monotonic()
    try:
        for mutant in todo:
            if deadline and time.monotonic() > deadline:
                say(f"time limit reached after {done} mutants")
                break
            begun = time.monotonic()
            run_one(mutant, tree, runner, coverage, suite, durations, table, hashes, args)
            spent += time.monotonic() - begun
            done += 1
            entry = table.entries[mutant.id]
            say(f"[{done}/{len(todo)}] {mutant.file}:{mutant.line}:{mutant.col} {mutant.op} "
                f"{entry['original']} -> {entry['mutated']}: {entry['verdict']} "
                f"({entry['seconds']:.1f} s)")
            if time.monotonic() - last_write > 30:
                table.write()
                last_write = time.monotonic()
    except (KeyboardInterrupt, Interrupted) as stop:
        say(f"interrupted ({stop or 'SIGINT'}) after {done} mutants")
        runner.abort()
    finally:
        tree.restore()
        for sig, handler in previous.items():
            signal.signal(sig, handler)
        meta.update({"setup_seconds": round(setup), "run_mutants": done,
                     "mutant_seconds": round(spent)})
        if done:
            meta["mutants_per_minute"] = round(60 * done / spent, 1) if spent else None
            # Where the time went: the builds, the covering tests, the survivors' rest runs.
            ran = [table.entries[m.id] for m in todo[:done]]
            built = sum(e["build_seconds"] for e in ran)
            rest = sum(e.get("rest_seconds", 0.0) for e in ran)
            meta.update({"build_seconds": round(built), "rest_seconds": round(rest),
                         "covering_seconds": round(sum(e["seconds"] for e in ran) - built - rest)})
        table.write()
    if args.recheck:
        wrong = sorted(i for i, e in table.entries.items()
                       if i in listed and e["verdict"] in ("caught", "timeout"))
        if wrong:
            say(f"listed as equivalent but caught ({len(wrong)}): " + ", ".join(wrong))
    say(f"table: {os.path.relpath(out, ROOT)}/summary.md, mutants.tsv, mutants.json")
    return 0


def verdict_of(outcomes):
    kinds = {o for o, _ in outcomes.values()}
    return "caught" if kinds & {"fail", "crash"} else "timeout" if "timeout" in kinds else "survived"


def run_one(mutant, tree, runner, coverage, suite, durations, table, hashes, args):
    begun = time.monotonic()
    covering = sorted(t for t in coverage.tests_for(mutant) if t in durations and t in suite)
    digest = hashes[mutant.file]
    if not covering:
        table.add(mutant, "not covered", 0.0, file_digest=digest)
        return
    tree.apply(mutant)
    try:
        failure, note = build_mutant(tree.copy, args.preset)
        built = time.monotonic() - begun
        if failure == "not compiled":
            table.add(mutant, "not compiled", built, covering=len(covering), file_digest=digest,
                      note=note, build_seconds=built)
            return
        # A step of the build that runs the mutated code and fails is a catcher of its
        # own; the tests still run, so that the table says whether they catch it too.
        outcomes = {"(build)": ("fail", 0.0)} if failure == "build" else {}
        note = f"the build's run of the code failed ({note})" if failure == "build" else ""
        first = args.catchers == "first"
        # With a sanitizer build at hand the corpus replays run there alone (unless they fail
        # there unchanged): they check there what they check here, and the sanitizers too.
        def deferred(test):
            return (args.sanitizer_runner is not None and test.startswith(REPLAY) and
                    test not in args.sanitizer_failing)
        here = [t for t in covering if not deferred(t)]
        if not (first and outcomes):
            outcomes.update(runner.run(here, durations, stop_at_first=first))
        rest_seconds = 0.0
        if all(o == "pass" for o, _ in outcomes.values()):
            # The rest of the suite, as a check on the map. A slow test that executes no line
            # of the function cannot run its mutated code, and is left out.
            reach = coverage.may_reach(mutant)
            rest = [t for t in suite if t not in covering and not deferred(t) and (
                reach is None or t in reach or durations.get(t, 0.0) < SLOW_TEST)]
            rest_started = time.monotonic()
            outcomes.update(runner.run(rest, durations, stop_at_first=first))
            rest_seconds = time.monotonic() - rest_started
            if any(o != "pass" for o, _ in outcomes.values()):
                note = "caught by a test that does not execute its line"
        verdict = verdict_of(outcomes)
        if verdict == "survived" and args.sanitizer_runner:
            # The mutants build has no sanitizer: a read or write just past a block changes
            # nothing there. The covering tests again, in the copy's sanitizer build.
            ok, output = build(tree.copy, SANITIZER_PRESET, keep_going=True,
                               targets=SANITIZER_TARGETS + replay_targets(tree.copy))
            failure, step = (None, "") if ok else build_failure(output)
            if failure == "build":
                # A step that runs the mutated code there (the PPD's generation) failed, and
                # the tests that depend on it are not built: the sanitizers caught it.
                outcomes["(sanitizer build)"] = ("fail", 0.0)
                verdict = "caught"
                note = f"the sanitizer build's run of the code failed ({step})"
            elif not ok:  # the replays left for it run here after all
                outcomes.update(runner.run([t for t in covering if deferred(t)], durations, stop_at_first=first))
                verdict = verdict_of(outcomes)
            else:
                again = [t for t in covering if t not in args.sanitizer_failing]
                checked = args.sanitizer_runner.run(again, durations, stop_at_first=first)
                outcomes.update({t + " (sanitizer)": o for t, o in checked.items()})
                caught = {t for t, (o, _) in checked.items() if o in ("fail", "crash")}
                # A replay that hangs there hangs here too: it is this build's timeout.
                hung = {t for t, (o, _) in checked.items() if o == "timeout" and t.startswith(REPLAY)}
                if caught or hung:
                    verdict = "caught" if caught else "timeout"
                    note = ("caught by the sanitizer build only"
                            if any(not t.startswith(REPLAY) for t in caught) else
                            "caught by a corpus replay, run in the sanitizer build")
        table.add(mutant, verdict, time.monotonic() - begun, outcomes, len(covering), digest, note,
                  built, rest_seconds)
    finally:
        tree.restore()


def list_mutants(args):
    mutants = select(generate(ROOT, core_files(ROOT, args.headers)), args.files, args.sample,
                     args.seed, args.ids)
    for mutant in mutants:
        original, mutated = mutant.shown()
        print(f"{mutant.id}\t{original} -> {mutated}")
    by_file = {}
    by_op = {}
    for mutant in mutants:
        by_file[mutant.file] = by_file.get(mutant.file, 0) + 1
        by_op[mutant.op] = by_op.get(mutant.op, 0) + 1
    for name, count in sorted(by_file.items()):
        print(f"{count:6d}  {name}", file=sys.stderr)
    for name in OPERATORS:
        print(f"{by_op.get(name, 0):6d}  {name}: {OPERATORS[name]}", file=sys.stderr)
    print(f"{len(mutants):6d}  mutants in all", file=sys.stderr)
    return 0


# ---------------------------------------------------------------------------------------
# The same machine code

# What the check adds to a file's own compile command: an optimiser that folds what makes
# no difference, but may not reason from behaviour the language leaves undefined (a loop
# that reads past its array would otherwise be taken to stop in time, an overflow not to
# happen, a pointer once read not to be null); no debug information (whose line and column
# records would always differ); assembly text on standard output.
SAME_CODE_FLAGS = ["-O2", "-fwrapv", "-fno-strict-aliasing", "-fno-aggressive-loop-optimizations",
                   "-fno-delete-null-pointer-checks", "-g0", "-w", "-S", "-o", "-"]
SAME_CODE_PRESET = BUILD_PRESET
SAME_CODE_WHY = "the compiler makes the same machine code of it as of the original (g++ -O2)"


def compile_commands(directory, root):
    """path (relative to root) -> (working directory, the compiler's arguments less its
    source, output and dependency files) from directory's compile_commands.json."""
    with open(os.path.join(directory, "compile_commands.json"), encoding="utf-8") as text:
        entries = json.load(text)
    commands = {}
    for entry in entries:
        words = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
        kept, skip = [], False
        for word in words:
            if skip:
                skip = False
            elif word in ("-o", "-c", "-MT", "-MF", "-MQ"):
                skip = True
            elif word not in ("-MD", "-MMD", "-DNDEBUG"):
                kept.append(word)
        commands[os.path.relpath(os.path.normpath(entry["file"]), root)] = (entry["directory"], kept)
    return commands


def machine_code(command, folder, text):
    """The digest of the assembly the compiler makes of text, the source of a file in folder,
    or None when it does not compile. The text comes on standard input, so that nothing is
    written into the tree; folder is searched for quoted includes as the file's own is."""
    directory, words = command
    result = subprocess.run(words + SAME_CODE_FLAGS + ["-iquote", folder, "-x", "c++", "-"],
                            input=text.encode("utf-8"), capture_output=True, cwd=directory)
    return hashlib.sha256(result.stdout).hexdigest() if result.returncode == 0 else None


def same_code(args):
    """--same-code: compiles every selected mutant and names those whose machine code is the
    original's. Nothing is built or run but the compiler."""
    tree, every, chosen, out = begin(args, False)
    if args.survivors is not None:
        table = args.survivors or os.path.join(out, "mutants.json")
        if not os.path.exists(table):
            sys.exit(f"mutants: no table {table}")
        entries, _ = Table.load(table)
        chosen = [m for m in chosen
                  if entries.get(m.id, {}).get("verdict") in ("survived", "not covered")]
    listed = load_equivalents(tree.copy, {m.id for m in every})
    if not args.recheck:
        chosen = [m for m in chosen if m.id not in listed]
    directory = os.path.join(tree.copy, "build", SAME_CODE_PRESET)
    if not os.path.exists(os.path.join(directory, "compile_commands.json")):
        status, output = run_command(["cmake", "--preset", SAME_CODE_PRESET], tree.copy)
        if status != 0:
            sys.exit("mutants: the build's configuration failed:\n" + output[-3000:])
    commands = compile_commands(directory, tree.copy)
    texts = {path: tree.read(path) for path in {m.file for m in chosen}}
    missing = sorted(p for p in texts if p not in commands)
    if missing:
        sys.exit("mutants: no compile command for " + ", ".join(missing))
    say(f"{len(chosen)} mutants to compile, {len(texts)} files")

    def folder(path):
        return os.path.dirname(os.path.join(tree.copy, path))

    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        originals = dict(zip(texts, pool.map(
            lambda p: machine_code(commands[p], folder(p), texts[p]), texts)))
        broken = sorted(p for p, digest in originals.items() if digest is None)
        if broken:
            sys.exit("mutants: the unchanged file does not compile: " + ", ".join(broken))
        digests = list(pool.map(
            lambda m: machine_code(commands[m.file], folder(m.file), m.apply(texts[m.file])), chosen))
    same = [m for m, digest in zip(chosen, digests) if digest == originals[m.file]]
    uncompiled = sum(1 for digest in digests if digest is None)
    lines = [f"# Mutants whose machine code is the original's ({time.strftime('%Y-%m-%d %H:%M')}, "
             f"{len(same)} of {len(chosen)} compiled), in the form of {EQUIVALENTS}"]
    lines += [f"{m.id} {listed.get(m.id, SAME_CODE_WHY) if args.recheck else SAME_CODE_WHY}"
              for m in same]
    write_atomically(os.path.join(out, "same-code.txt"), "\n".join(lines) + "\n")
    by_file = {}
    for m in same:
        by_file[m.file] = by_file.get(m.file, 0) + 1
    for name, count in sorted(by_file.items()):
        say(f"{count:5d}  {name}")
    say(f"{len(same)} of {len(chosen)} make the original's machine code, {uncompiled} do not "
        f"compile ({time.monotonic() - started:.0f} s): {os.path.relpath(out, ROOT)}/same-code.txt")
    return 0


def main(argv):
    parser = argparse.ArgumentParser(
        description="Mutation runs over the driver core (see the head of this script).")
    parser.add_argument("--files", nargs="+", metavar="PATTERN", help="only these files or folders")
    parser.add_argument("--ids", nargs="+", metavar="ID", help="only the mutants of these ids")
    parser.add_argument("--sample", type=int, metavar="N", help="N mutants drawn at random")
    parser.add_argument("--seed", type=int, default=1, help="the draw's seed (default 1)")
    parser.add_argument("--minutes", type=float, help="stop after M minutes, setup included")
    parser.add_argument("--run-minutes", type=float, metavar="MINUTES",
                        help="stop after M minutes of running mutants, the set-up not counted")
    parser.add_argument("--catchers", choices=("all", "first"), default="all",
                        help="run every covering test (all) or stop at the first catch")
    again = parser.add_mutually_exclusive_group()
    again.add_argument("--resume", action="store_true",
                       help="keep the decided verdicts of the existing table")
    again.add_argument("--survivors", nargs="?", const="", metavar="TABLE",
                       help="run only the survivors of TABLE (default: the existing table)")
    parser.add_argument("--without", nargs="+", default=[], metavar="TEST",
                        help="leave these tests (shell patterns) out: do the others catch what they do?")
    parser.add_argument("--sanitizer", action="store_true",
                        help="run survivors' covering tests again in the copy's sanitizer build")
    parser.add_argument("--recheck", action="store_true",
                        help="run the listed equivalents too, and name those a test catches")
    parser.add_argument("--headers", action="store_true", help="mutate the core's headers too")
    parser.add_argument("--timeout-floor", type=float, default=10.0, metavar="SECONDS",
                        help="the least time limit of a test (default 10; else 5 times its time)")
    parser.add_argument("--list", action="store_true", help="list the mutants, run nothing")
    parser.add_argument("--same-code", action="store_true",
                        help="compile the mutants and name those whose machine code is the "
                             "original's; run nothing")
    parser.add_argument("--one-build", action="store_true",
                        help="run the mutants in the coverage build (-O0): one build to make "
                             "instead of two, slower tests")
    parser.add_argument("--coverage-preset", default=COVERAGE_PRESET, metavar="PRESET",
                        help=f"the coverage build (default {COVERAGE_PRESET}; mutants-core: "
                             "the core's tests alone, much less to build)")
    parser.add_argument("--jobs", type=int, default=WORKERS, metavar="N",
                        help=f"test processes at a time (default {WORKERS})")
    parser.add_argument("--work", default=WORK,
                        help="where the copy, its builds and the coverage map live "
                             "(default build/mutation)")
    parser.add_argument("--out", help="the table's folder (default WORK/results)")
    args = parser.parse_args(argv)
    args.work = os.path.abspath(args.work)
    args.preset = args.coverage_preset if args.one_build else BUILD_PRESET
    if args.sample is not None and args.sample < 1:
        parser.error("--sample takes a positive count")
    if args.jobs < 1:
        parser.error("--jobs takes a positive count")
    if args.list:
        return list_mutants(args)
    if args.same_code:
        return same_code(args)
    # Stopped while the copy and its builds are made, a run says so and leaves nothing
    # running (the mutant loop handles these signals itself, putting the copy back).
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    try:
        return run(args)
    except (KeyboardInterrupt, Interrupted) as stop:
        say(f"interrupted ({stop or 'SIGINT'}) before the first mutant: no table written")
        return 130


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
