"""The package beside the rest of the ortan family: a namespace package that owns ortan/tcl/ only,
the sibling helpers taken from the siblings when they are installed, and public names only in
`from ... import *`.

The install tests put this package's wheel and a stand-in sibling distribution into a fresh
virtual environment with pip, in both orders, and take each out again. This package's wheel is
the installed distribution packed up again from its own RECORD (so the test sees exactly the
files the real wheel installed), or, in a development tree, the package folder as it is.
"""

import base64
import hashlib
import importlib
import importlib.metadata
import json
import os
import pathlib
import subprocess
import sys
import sysconfig
import textwrap
import zipfile

import pytest

import ortan.tcl
from conftest import skip_or_fail

MODULES = ["scribe", "internal", "namespace", "nestmap", "history", "hop", "cast"]
PACKAGE_DIR = pathlib.Path(ortan.tcl.__file__).resolve().parent


def run_python(code, python=sys.executable, **kwargs):
    """Runs `code` in a fresh interpreter that sees no development tree (no PYTHONPATH)."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    return subprocess.run([str(python), "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=300, **kwargs)


# --- public names ------------------------------------------------------------------------------


@pytest.mark.parametrize("name", MODULES)
def test_star_import_takes_the_public_names_only(name):
    module = importlib.import_module(f"ortan.tcl.{name}")
    taken = {}
    exec(f"from ortan.tcl.{name} import *", taken)
    taken.pop("__builtins__")
    assert sorted(taken) == sorted(module.__all__)
    for public in module.__all__:
        value = getattr(module, public)
        assert not public.startswith("_")
        assert type(value).__name__ != "module", public
        # Defined here, or (internal's ctypes records) made here: never a stranger's class.
        owner = getattr(value, "__module__", module.__name__)
        assert owner in (module.__name__, "ctypes", "logging"), (public, owner)


def test_underscored_helpers_stay_importable():
    from ortan.tcl.internal import _c_char_p_from_obj, _ptr_add  # noqa: F401
    from ortan.tcl.namespace import _callback_error  # noqa: F401
    from ortan.tcl.scribe import _scribe_from_sequence, _Tcl_ScanElement  # noqa: F401


def test_import_leaves_ctypes_util_alone():
    # ctypes.util (and the tempfile, shutil and subprocess it pulls in) is for finding a
    # library by name; importing the package must not pay for it.
    run = run_python(
        """
        import sys
        import ortan.tcl, ortan.tcl.internal, ortan.tcl.namespace, ortan.tcl.nestmap
        import ortan.tcl.history, ortan.tcl.hop
        print(sorted(m for m in ("ctypes.util", "importlib.metadata") if m in sys.modules))
        """,
        cwd=PACKAGE_DIR.parent.parent,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["[]"]


def test_version_comes_from_the_installed_metadata():
    try:
        distribution = importlib.metadata.distribution("ortan-tcl")
        ours = pathlib.Path(distribution.locate_file("ortan/tcl/__init__.py")).resolve()
    except importlib.metadata.PackageNotFoundError:
        ours = None
    if ours == pathlib.Path(ortan.tcl.__file__).resolve():
        assert ortan.tcl.__version__ == distribution.version
    else:  # a development tree that was never installed
        assert ortan.tcl.__version__ == "0+unknown"


def test_ortan_is_a_namespace_package():
    import ortan

    assert getattr(ortan, "__file__", None) is None
    assert not (PACKAGE_DIR.parent / "__init__.py").exists()


# --- a sibling that is there but broken is not replaced --------------------------------------


@pytest.mark.parametrize(
    "module, source, error",
    [
        ("ortan/datastructures.py", "raise RuntimeError('sibling broke')\n",
         "RuntimeError: sibling broke"),
        ("ortan/datastructures.py", "import no_such_dependency\n",
         "No module named 'no_such_dependency'"),
        ("ortan/datastructures.py", "OtherDict = dict\n", "AttrDict"),
        ("ortan/utils/utils.py", "raise RuntimeError('sibling broke')\n",
         "RuntimeError: sibling broke"),
    ],
    ids=["raises", "lacks-a-dependency", "lacks-the-name", "utils-raises"],
)
def test_a_broken_sibling_fails_the_import(tmp_path, module, source, error):
    # Only an absent sibling is replaced by the stand-ins; one that is installed but broken must
    # say so, not be passed over silently.
    path = tmp_path / module
    path.parent.mkdir(parents=True)
    path.write_text(source)
    search_path = os.pathsep.join([str(tmp_path), str(PACKAGE_DIR.parent.parent)])
    env = dict(os.environ, PYTHONPATH=search_path)
    run = subprocess.run(
        [sys.executable, "-c", "import ortan.tcl.nestmap, ortan.tcl.history"],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert run.returncode != 0 and error in run.stderr, run.stderr


# --- wheels made here --------------------------------------------------------------------------


def record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


def write_wheel(path, dist_info, files, metadata, wheel_tag):
    """A wheel at `path` of `files` ({archive name: bytes}) with its dist-info."""
    files = dict(files)
    files.setdefault(f"{dist_info}/METADATA", metadata.encode())
    files.setdefault(
        f"{dist_info}/WHEEL",
        f"Wheel-Version: 1.0\nGenerator: ortan-tests\nRoot-Is-Purelib: false\nTag: {wheel_tag}\n"
        .encode(),
    )
    record = [record_line(name, data) for name, data in files.items()]
    record.append(f"{dist_info}/RECORD,,")
    with zipfile.ZipFile(path, "w") as wheel:
        for name, data in files.items():
            wheel.writestr(name, data)
        wheel.writestr(f"{dist_info}/RECORD", "\n".join(record) + "\n")
    return path


def installed_distribution():
    """The installed distribution that the imported ortan.tcl belongs to, or None."""
    try:
        distribution = importlib.metadata.distribution("ortan-tcl")
    except importlib.metadata.PackageNotFoundError:
        return None
    ours = pathlib.Path(distribution.locate_file("ortan/tcl/__init__.py")).resolve()
    return distribution if ours == PACKAGE_DIR / "__init__.py" else None


def this_python_tag():
    abi = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{abi}-{abi}{sys.abiflags}-{platform}"


def our_wheel(directory):
    """This package as a wheel: the installed distribution's files, or the development tree's."""
    distribution = installed_distribution()
    files = {}
    if distribution is not None:
        dist_info = next(str(f).split("/")[0] for f in distribution.files
                         if str(f).endswith(".dist-info/METADATA"))
        for entry in distribution.files:
            name = str(entry)
            if "__pycache__" in name or name.endswith(("/RECORD", "/INSTALLER", "/REQUESTED",
                                                         "/direct_url.json")):
                continue
            files[name] = pathlib.Path(distribution.locate_file(entry)).read_bytes()
        wheel_meta = distribution.read_text("WHEEL") or ""
        tag = next(line.split(": ", 1)[1] for line in wheel_meta.splitlines()
                   if line.startswith("Tag: "))
        metadata = distribution.read_text("METADATA")
    else:
        dist_info = "ortan_tcl-0+dev.dist-info"
        for path in sorted(PACKAGE_DIR.rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts:
                files["ortan/tcl/" + path.relative_to(PACKAGE_DIR).as_posix()] = path.read_bytes()
        tag = this_python_tag()
        metadata = "Metadata-Version: 2.1\nName: ortan-tcl\nVersion: 0+dev\n"
    name = f"{dist_info[:-len('.dist-info')]}-{tag.split('.')[0]}.whl"
    return write_wheel(directory / name, dist_info, files, metadata, tag)


SIBLING_FILES = {
    "ortan/datastructures.py": b'''\
"""The family's data structures (a stand-in made by the ortan.tcl tests)."""


class AttrDict(dict):
    """A dict whose items are also attributes."""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value
''',
    "ortan/utils/__init__.py": b"",
    "ortan/utils/utils.py": b'''\
"""The family's utilities (a stand-in made by the ortan.tcl tests)."""

import datetime


def get_time():
    """The current local time."""
    return datetime.datetime.now()
''',
}


def sibling_wheel(directory):
    dist_info = "ortan_family_standin-1.0.dist-info"
    metadata = "Metadata-Version: 2.1\nName: ortan-family-standin\nVersion: 1.0\n"
    return write_wheel(directory / "ortan_family_standin-1.0-py3-none-any.whl", dist_info,
                       SIBLING_FILES, metadata, "py3-none-any")


# What the venv's Python reports about the family: which helpers the modules took, whether the
# sibling's files are there unchanged, and whether everything works.
REPORT = """
import hashlib, importlib, json, pathlib, sys, sysconfig
site = pathlib.Path(sysconfig.get_paths()["purelib"])
platsite = pathlib.Path(sysconfig.get_paths()["platlib"])
report = {"sibling_files": {}}
for name in %r:
    path = next((d / name for d in (site, platsite) if (d / name).exists()), None)
    report["sibling_files"][name] = path and hashlib.sha256(path.read_bytes()).hexdigest()
try:
    from ortan.datastructures import AttrDict
    from ortan.utils.utils import get_time
    AttrDict(a=1).a, get_time().year
    report["sibling"] = "works"
except ImportError:
    report["sibling"] = "absent"
try:
    import ortan.tcl
except ImportError:
    report["ours"] = "absent"
else:
    from ortan.tcl import history
    from ortan.tcl.nestmap import Nestmap
    from ortan.tcl.scribe import scribe
    base = Nestmap.__bases__[0]
    report["ours"] = {
        "AttrDict": base.__module__ + "." + base.__qualname__,
        "get_time": history.get_time.__module__ or history.get_time.__self__.__module__,
    }
    keyed = Nestmap({"name.first": "Ada"})
    assert keyed.name.first == "Ada" and scribe(keyed) == "{name {{first Ada}}}"
    tcl = ortan.tcl.Interpreter()
    assert tcl.hop.set("::x", 5) == 5
    entry = tcl.history.filter(count=1)[0]
    assert entry.timestamp.strftime("%%Y") >= "2024" and entry.api.startswith("set")
    report["ours_works"] = True
print(json.dumps(report))
""" % (list(SIBLING_FILES),)

SIBLING_HASHES = {name: hashlib.sha256(data).hexdigest() for name, data in SIBLING_FILES.items()}
ABSENT = {name: None for name in SIBLING_FILES}
STAND_IN = {"AttrDict": "ortan.tcl._family.AttrDict", "get_time": "datetime"}
SIBLING = {"AttrDict": "ortan.datastructures.AttrDict", "get_time": "ortan.utils.utils"}


class Venv:
    def __init__(self, path):
        self.path = path
        self.python = path / "bin" / "python"

    def pip(self, *args):
        run = subprocess.run([str(self.python), "-m", "pip", "--disable-pip-version-check",
                              "--no-input", "-q", *args], capture_output=True, text=True,
                             timeout=300)
        assert run.returncode == 0, run.stdout + run.stderr

    def report(self):
        run = run_python(REPORT, python=self.python, cwd=self.path)
        assert run.returncode == 0, run.stderr
        return json.loads(run.stdout)


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    path = tmp_path_factory.mktemp("family") / "venv"
    made = subprocess.run([sys.executable, "-m", "venv", str(path)], capture_output=True,
                          text=True, timeout=300)
    if made.returncode != 0:
        skip_or_fail(f"cannot make a virtual environment with pip: {made.stderr.strip()}")
    return Venv(path)


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    directory = tmp_path_factory.mktemp("wheels")
    return our_wheel(directory), sibling_wheel(directory)


def test_the_wheel_holds_ortan_tcl_only(wheels):
    ours, _ = wheels
    with zipfile.ZipFile(ours) as wheel:
        names = wheel.namelist()
    outside = [n for n in names if not n.startswith(("ortan/tcl/", "ortan_tcl-"))]
    assert outside == []
    assert "ortan/tcl/py.typed" in names and "ortan/tcl/_family.py" in names


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="pip and the new environment would run under the sanitizer runtime; "
                    "the install mechanics hold no memory errors to find")
def test_install_and_uninstall_beside_a_sibling(venv, wheels):
    ours, sibling = wheels
    install = ("install", "--no-index", "--no-deps")

    venv.pip(*install, str(ours))
    report = venv.report()
    assert report == {"sibling_files": ABSENT, "sibling": "absent", "ours": STAND_IN,
                      "ours_works": True}

    venv.pip(*install, str(sibling))  # the sibling after this package
    report = venv.report()
    assert report == {"sibling_files": SIBLING_HASHES, "sibling": "works", "ours": SIBLING,
                      "ours_works": True}

    venv.pip("uninstall", "-y", "ortan-tcl")
    assert venv.report() == {"sibling_files": SIBLING_HASHES, "sibling": "works",
                             "ours": "absent"}

    venv.pip(*install, str(ours))  # this package after the sibling
    report = venv.report()
    assert report == {"sibling_files": SIBLING_HASHES, "sibling": "works", "ours": SIBLING,
                      "ours_works": True}

    venv.pip("uninstall", "-y", "ortan-family-standin")
    report = venv.report()
    assert report == {"sibling_files": ABSENT, "sibling": "absent", "ours": STAND_IN,
                      "ours_works": True}
