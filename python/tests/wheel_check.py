"""Lists a wheel's files and fails when one it must carry is missing, or
when it is not a platform wheel.

    wheel_check.py WHEEL LIBRARY      (LIBRARY: the library's path in the wheel)
"""
import os
import sys
import zipfile

wheel, library = sys.argv[1:3]
with zipfile.ZipFile(wheel) as archive:
    names = set(archive.namelist())
    metadata = archive.read("ynet-1.0.0.dist-info/WHEEL").decode()
print(f"{os.path.basename(wheel)}: " + " ".join(sorted(names)))
missing = {"ynet/__init__.py", "ynet/_native.py", "ynet/_client.py", "ynet/_aio.py", "ynet/py.typed", library} - names
tag = os.path.basename(wheel)[len("ynet-1.0.0-"):-len(".whl")]
if missing:
    sys.exit(f"{wheel} lacks: {' '.join(sorted(missing))}")
if "Root-Is-Purelib: false" not in metadata or f"Tag: {tag}" not in metadata:
    sys.exit(f"{wheel} is not a platform wheel tagged {tag}:\n{metadata}")
