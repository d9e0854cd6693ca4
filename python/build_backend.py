"""The build backend of the kavex package (PEP 517), for `python3 -m pip install ./python`.

It configures the repository's CMake for the interpreter that runs it, builds the target
kavex_python_package (the module, the Python files and the shipped rules) and zips that
folder into a wheel. It needs cmake, a C++17
compiler, the headers of this interpreter and pybind11 (Debian: cmake g++ python3-dev
pybind11-dev), and no Python package, so pip needs no package index to run it.
"""

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def _version():
    with open(os.path.join(HERE, "pyproject.toml"), encoding="utf-8") as f:
        return re.search(r'^version\s*=\s*"([^"]+)"', f.read(), re.M).group(1)


def _tag():
    if sys.implementation.name != "cpython":
        raise RuntimeError("kavex: the module is built for CPython only")
    python = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{python}-{python}-{platform}"


def _dist_info(directory):
    version = _version()
    name = f"kavex-{version}.dist-info"
    path = os.path.join(directory, name)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "METADATA"), "w", encoding="utf-8") as f:
        f.write(f"Metadata-Version: 2.1\nName: kavex\nVersion: {version}\n"
                "Summary: Normalization of Arabic-script text (NFD, NFC, NFKD, NFKC) with the kavex "
                "library\nRequires-Python: >=3.8\nProvides-Extra: dask\n"
                "Requires-Dist: dask; extra == \"dask\"\n"
                "Requires-Dist: distributed; extra == \"dask\"\n")
    with open(os.path.join(path, "WHEEL"), "w", encoding="utf-8") as f:
        f.write(f"Wheel-Version: 1.0\nGenerator: kavex build_backend\nRoot-Is-Purelib: false\n"
                f"Tag: {_tag()}\n")
    return name


def _build_package(build):
    if not os.path.exists(os.path.join(ROOT, "CMakeLists.txt")):
        raise RuntimeError(f"kavex: the repository is not around {HERE}; install from a "
                           "clone with `python3 -m pip install ./python`")
    cmake = shutil.which("cmake")
    if cmake is None:
        raise RuntimeError("kavex: building needs cmake (Debian: apt-get install cmake g++ "
                           "python3-dev pybind11-dev)")
    configure = [cmake, "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                 "-DKAVEX_BUILD_TESTS=OFF", "-DKAVEX_BUILD_TOOLS=OFF",
                 "-DKAVEX_BUILD_PYTHON=ON", "-DKAVEX_PYTHON_REQUIRED=ON",
                 f"-DPython3_EXECUTABLE={sys.executable}"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, stdout=sys.stderr)
    subprocess.run([cmake, "--build", build, "--target", "kavex_python_package", "--parallel",
                    str(os.cpu_count() or 1)], check=True, stdout=sys.stderr)
    return os.path.join(build, "python", "kavex")


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _dist_info(metadata_directory)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    wheel_name = f"kavex-{_version()}-{_tag()}.whl"
    with tempfile.TemporaryDirectory(prefix="kavex-build-") as work:
        package = _build_package(os.path.join(work, "build"))
        info = _dist_info(work)
        files = []
        for folder, _, names in os.walk(package):
            for name in sorted(names):
                path = os.path.join(folder, name)
                files.append((path, "kavex/" + os.path.relpath(path, package).replace(os.sep, "/")))
        for name in ("METADATA", "WHEEL"):
            files.append((os.path.join(work, info, name), f"{info}/{name}"))
        record = []
        target = os.path.join(wheel_directory, wheel_name)
        with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as wheel:
            for path, arcname in files:
                with open(path, "rb") as f:
                    data = f.read()
                entry = zipfile.ZipInfo(arcname, date_time=(1980, 1, 1, 0, 0, 0))
                entry.external_attr = (os.stat(path).st_mode & 0o777 | 0o100000) << 16
                entry.compress_type = zipfile.ZIP_DEFLATED
                wheel.writestr(entry, data)
                record.append(_record_line(arcname, data))
            record.append(f"{info}/RECORD,,")
            wheel.writestr(f"{info}/RECORD", "\n".join(record) + "\n")
    return wheel_name
