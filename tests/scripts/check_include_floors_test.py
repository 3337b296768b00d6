#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Tests of scripts/check_include_floors.py on small trees of its own."""

import os
import sys
import tempfile
import unittest

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
sys.path.insert(0, SCRIPTS)

import check_include_floors as floors  # noqa: E402


class CheckIncludeFloorsTest(unittest.TestCase):
    def findings(self, files):
        with tempfile.TemporaryDirectory() as root:
            for path, text in files.items():
                os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                with open(os.path.join(root, path), "w", encoding="utf-8") as out:
                    out.write(text)
            return floors.check(root, floors.source_files(root))

    def test_includes_down_the_floors_and_allowed_sideways_pass(self):
        self.assertEqual(self.findings({
            "context/device_context.h": '#include "platform/platform.h"\n',
            "settings/paper_size.cpp": '#include "device/media_lookup.h"\n#include "paper_size.h"\n',
            "driver/entry.cpp": '#include "raster/band_loop.h"\n#include "context/model_data.h"\n',
            "cups/filter.cpp": "#include <cups/cups.h>\n",
            "build/dev/generated.cpp": '#include "driver/ddi.h"\n',
        }), [])

    def test_an_upward_or_unlisted_sideways_include_is_reported_where_it_stands(self):
        self.assertEqual(self.findings({
            "raster/page_output.cpp": '// Page output\n#include "driver/ddi.h"\n',
            "device/media_lookup.cpp": '#include "settings/exchange_block.h"\n',
            "modeldata/library.cpp": '  #  include "context/model_data.h"\n',
        }), [
            "device/media_lookup.cpp:1: includes settings/exchange_block.h, sideways on floor 4, "
            "not among SIDEWAYS",
            "modeldata/library.cpp:1: includes context/model_data.h, upward: context/ stands on "
            "floor 3, modeldata/ on floor 2",
            "raster/page_output.cpp:2: includes driver/ddi.h, upward: driver/ stands on floor 5, "
            "raster/ on floor 4",
        ])

    def test_a_folder_on_no_floor_is_reported_once(self):
        self.assertEqual(self.findings({"codec/a.cpp": "", "codec/b.h": ""}),
                         ["codec/a.cpp: codec/ stands on no floor of check_include_floors.py"])

    def test_sideways_leave_that_runs_in_a_circle_is_found(self):
        self.assertIsNone(floors.circle_in(floors.SIDEWAYS))
        self.assertEqual(floors.circle_in({"device": {"settings"}, "settings": {"device"}}),
                         ["device", "settings", "device"])


if __name__ == "__main__":
    unittest.main()
