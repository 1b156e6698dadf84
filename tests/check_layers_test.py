#!/usr/bin/python3
"""The layering checker on small trees made here: it passes a sound tree and
fails, naming the file and the include, on each kind of broken rule."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECKER = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(__file__), "..", "scripts", "check_layers.py")


def tree(files):
    root = tempfile.mkdtemp(prefix="layers.")
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)
    return root


def run(root):
    p = subprocess.run(["/usr/bin/python3", CHECKER, root], capture_output=True, text=True)
    return p.returncode, p.stdout


SOUND = {
    "platform/a.h": "#pragma once\n",
    "base/b.h": '#include "platform/a.h"\n',
    "load/l.cpp": '#include "base/b.h"\n#include "load/l.h"\n#include <vector>\n',
    "key/k.cpp": '#include "load/l.h"\n',
    "jobs/j.cpp": '#include "key/k.h"\n#include "bootstrap/x.h"\n',
    "app/a.cpp": '#include "jobs/j.h"\n',
    "sim/s.cpp": '#include "platform/rfc2217.h"\n#include "sim/s.h"\n',
    "tests/t.cpp": '#include "ui/w.h"\n#include "sim/s.h"\n',
}


class Layering(unittest.TestCase):
    def test_sound_tree_passes(self):
        code, out = run(tree(SOUND))
        self.assertEqual(code, 0, out)

    def test_each_broken_rule_is_named(self):
        cases = [
            ("load/bad.cpp", '#include "app/porte.h"\n', "app/porte.h"),      # upward
            ("base/bad.h", '  #  include "image/file.h"\n', "image/file.h"),  # upward, odd spacing
            ("key/bad.cpp", '#include "targets/pic.h"\n', "targets/pic.h"),   # beside
            ("sim/bad.cpp", '#include "load/load.h"\n', "load/load.h"),       # sim uses platform only
            ("platform/bad.cpp", '#include "base/esiti.h"\n', "base/esiti.h"),
            ("jobs/sub/bad.cpp", '#include "ui/dlg.h"\n', "ui/dlg.h"),        # nested file
        ]
        for path, text, include in cases:
            with self.subTest(path=path):
                files = dict(SOUND)
                files[path] = text
                code, out = run(tree(files))
                self.assertEqual(code, 1, out)
                self.assertIn(path + ":1:", out)
                self.assertIn('"%s"' % include, out)


if __name__ == "__main__":
    unittest.main()
