"""Running the built tools from the end-to-end tests."""
import os
import shutil
import subprocess
import unittest

NATIVE = os.environ.get("SYMWELD", "")
WINDOWS = os.environ.get("SYMWELD_EXE", "")

USAGE = (b"\r\nUsage: symweld fas-name obj-name [debug-obj-name]\r\n"
         b"Generate an object file with debug info from a Fasm '.fas' file and its '.obj' file.\r\n"
         b"Example: symweld hello.fas hello.obj hello_d.obj\r\n\r\n"
         b"If debug-obj-name is not specified, the source obj file is overridden by \r\n"
         b"the debug version.\r\n\r\n")


def message(text):
    return b"symweld: " + text.encode() + b"\r\n"


def find_tool(*names):
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    return None


class Tool:
    """One build of symweld: the native binary or symweld.exe under wine."""

    def __init__(self, path, wine):
        self.path = path
        self.wine = wine

    def run(self, args, cwd=None, **kw):
        if self.wine:
            env = dict(os.environ, WINEDEBUG="-all")
            command = ["wine", self.path] + list(args)
        else:
            env = None
            command = [self.path] + list(args)
        return subprocess.run(command, cwd=cwd, env=env, capture_output=True, timeout=300, **kw)


def tools():
    """The builds to test: the native one always, the Windows one when given."""
    result = [("native", Tool(os.path.abspath(NATIVE), False))]
    if WINDOWS and os.path.exists(WINDOWS) and shutil.which("wine"):
        result.append(("wine", Tool(os.path.abspath(WINDOWS), True)))
    return result


class BothBuilds(unittest.TestCase):
    """Runs each test method once per build through self.tool."""

    def each_tool(self):
        for name, tool in tools():
            with self.subTest(build=name):
                self.tool = tool
                yield name, tool
