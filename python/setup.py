"""The ynet wheel carries the YonderNetC library it loads.

From a checkout, building the wheel (pip wheel ./python, pip install
./python) builds the library with CMake from the tree above this folder
and puts it in the package; YNET_WHEEL_LIBRARY names a library file to
carry instead (a YonderNetC.dll built for Windows), and YNET_WHEEL_PLATFORM
the wheel's platform tag then (win_amd64, win32). The module loads the
library through ctypes, so the wheel is for any Python 3: py3-none-PLATFORM.
"""
import os
import shutil
import subprocess
import sysconfig

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    from wheel.bdist_wheel import bdist_wheel

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build_library(build_temp):
    if not os.path.exists(os.path.join(SOURCE, "CMakeLists.txt")):
        raise SystemExit("ynet: no YonderNetC tree above python/ to build the library from; "
                         "set YNET_WHEEL_LIBRARY to the library file to carry")
    build = os.path.join(os.path.abspath(build_temp), "YonderNetC")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.check_call(["cmake", "-S", SOURCE, "-B", build, *generator, "-DCMAKE_BUILD_TYPE=Release",
                           "-DYNET_BUILD_TESTS=OFF", "-DYNET_BUILD_TOOLS=OFF", "-DYNET_BUILD_EXAMPLES=OFF"])
    subprocess.check_call(["cmake", "--build", build, "--target", "YonderNetC"])
    return os.path.join(build, "libYonderNetC.so")


class BuildWithLibrary(build_py):
    def run(self):
        shutil.rmtree(os.path.join(self.build_lib, "ynet"), ignore_errors=True)  # no library of an earlier wheel
        super().run()
        library = os.environ.get("YNET_WHEEL_LIBRARY") or build_library(
            self.get_finalized_command("build").build_temp)
        # The file itself, under the name the module looks for (a symbolic link resolved).
        shutil.copyfile(os.path.realpath(library), os.path.join(self.build_lib, "ynet", os.path.basename(library)))


class WithLibrary(Distribution):
    def has_ext_modules(self):
        return True  # a platform wheel, installed as platform-specific


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        platform = os.environ.get("YNET_WHEEL_PLATFORM") or sysconfig.get_platform()
        return "py3", "none", platform.replace("-", "_").replace(".", "_")


setup(distclass=WithLibrary, cmdclass={"build_py": BuildWithLibrary, "bdist_wheel": PlatformWheel})
