"""End-to-end cases: the built binaries with real command lines and files."""
import os
import tempfile
import unittest

from e2e_support import USAGE, BothBuilds, message


class CommandLine(BothBuilds):
    def check(self, args, expected, code):
        for name, tool in self.each_tool():
            with tempfile.TemporaryDirectory() as folder:
                result = tool.run(args, cwd=folder)
                self.assertEqual(result.stdout, expected, args)
                self.assertEqual(result.returncode, code, args)
                if not tool.wine:
                    self.assertEqual(result.stderr, b"")
                self.assertEqual(os.listdir(folder), [], "nothing is written")

    def test_missing_names(self):
        self.check([], USAGE + message("no fas file specified"), 1)
        self.check(["a.fas"], USAGE + message("no obj file specified"), 1)
        self.check(["my file.fas"], USAGE + message("no obj file specified"), 1)

    def test_help_options(self):
        for option in ["-?", "/?", "-h", "/h", "-help", "/hx"]:
            self.check([option], USAGE, 0)
        self.check(["x.fas", "-h", "y.obj", "z", "w", "v"], USAGE, 0)
        self.check(["/home/a.fas", "b.obj"], USAGE, 0)

    def test_invalid_options(self):
        for option in ["-H", "-x", "-", "/", "/tmp/a.fas"]:
            self.check([option], USAGE + message("invalid option"), 1)
        self.check(["a", "-x", "-h"], USAGE + message("invalid option"), 1)

    def test_too_many_arguments(self):
        self.check(["a", "b", "c", "d"], USAGE + message("too many arguments"), 1)
        self.check(["a", "b", "c", "d", "-h"], USAGE + message("too many arguments"), 1)
        self.check(["a", "b", "c", "-h", "d"], USAGE, 0)
        self.check(["a", "", "c", "d"], USAGE + message("too many arguments"), 1)
        self.check(["a b", "c d", "e f", "g h"], USAGE + message("too many arguments"), 1)


if __name__ == "__main__":
    unittest.main()
