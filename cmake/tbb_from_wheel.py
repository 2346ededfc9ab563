"""Where the index's oneTBB wheels put oneTBB, for CMake.

Prints "config" and the folder of TBBConfig.cmake when the tbb-devel wheel
carries a CMake package; otherwise (the 2021.8 wheel has none) "files", the
include folder and the release libtbb.so.12, which the tbb wheel installs
(tbb-devel only brings the debug build). Exits with 1 when tbb-devel is not
installed or holds neither, and CMake then searches as usual.
"""

import importlib.metadata
import pathlib
import sys


def installed_files(name):
    try:
        dist = importlib.metadata.distribution(name)
    except importlib.metadata.PackageNotFoundError:
        return []
    return [(f, pathlib.Path(dist.locate_file(f)).resolve()) for f in dist.files or []]


devel = installed_files("tbb-devel")
for entry, path in devel:
    if entry.name == "TBBConfig.cmake" and path.is_file():
        print("config", path.parent, sep="\n")
        sys.exit(0)
header = next((path for entry, path in devel
               if entry.as_posix().endswith("include/oneapi/tbb/version.h") and path.is_file()), None)
library = next((path for entry, path in devel + installed_files("tbb")
                if entry.name == "libtbb.so.12" and path.is_file()), None)
if header is None or library is None:
    sys.exit(1)
print("files", header.parents[2], library, sep="\n")
