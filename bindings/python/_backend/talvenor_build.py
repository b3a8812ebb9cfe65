"""The package's build backend: a wheel of the talvenor package, with the control library inside it
when a build of the library is at hand (TALVENOR_BUILD_LIBRARY, else build/control/ of this checkout).
Without one the wheel holds the Python files only, and the package looks for the library at import
(TALVENOR_LIBRARY, a build tree, the registry of control servers, the system's library path)."""

import base64
import hashlib
import io
import os
import re
import sysconfig
import tarfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(HERE)
PACKAGE = os.path.join(PROJECT, "talvenor")
NAME = "talvenor"


def _version():
    """The project's one version: VERSION at the top of the checkout (or, in an sdist, the package's
    _version.py, which the sdist carries)."""
    top = os.path.normpath(os.path.join(PROJECT, "..", "..", "VERSION"))
    if os.path.isfile(top):
        with open(top) as f:
            return f.read().strip()
    with open(os.path.join(PACKAGE, "_version.py")) as f:
        return re.search(r'^VERSION = "([^"]+)"', f.read(), re.M).group(1)


def _version_module():
    return ('VERSION = "%s"\n' % _version()).encode()


def _library():
    given = os.environ.get("TALVENOR_BUILD_LIBRARY")
    if given:
        return given if os.path.isfile(given) else None
    built = os.path.normpath(os.path.join(PROJECT, "..", "..", "build", "control", "libtalvenorctl.so"))
    return built if os.path.isfile(built) else None


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: Drive a small mobile robot from Python "
            "through the talvenor control and the trevask relay\nRequires-Python: >=3.9\n"
            "Provides-Extra: numpy\nRequires-Dist: numpy; extra == \"numpy\"\n" % (NAME, _version()))


def _files():
    out = []
    for name in sorted(os.listdir(PACKAGE)):
        if name.endswith((".py", ".pyi")) or name == "py.typed":
            out.append((os.path.join(PACKAGE, name), "%s/%s" % (NAME, name)))
    lib = _library()
    if lib:
        out.append((lib, "%s/_lib/libtalvenorctl.so" % NAME))
    return out


def _tag():
    if _library():
        return "py3-none-" + sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "py3-none-any"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info = "%s-%s.dist-info" % (NAME, _version())
    os.makedirs(os.path.join(metadata_directory, info), exist_ok=True)
    with open(os.path.join(metadata_directory, info, "METADATA"), "w") as f:
        f.write(_metadata())
    return info


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (arcname, digest, len(data))


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version, tag = _version(), _tag()
    wheel_name = "%s-%s-%s.whl" % (NAME, version, tag)
    info = "%s-%s.dist-info" % (NAME, version)
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as whl:
        def add(arcname, data, mode=0o644):
            z = zipfile.ZipInfo(arcname, date_time=(2026, 1, 1, 0, 0, 0))
            z.external_attr = (0o100000 | mode) << 16
            z.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(z, data)
            records.append(_record_line(arcname, data))

        for path, arcname in _files():
            if arcname == NAME + "/_version.py":
                continue
            with open(path, "rb") as f:
                add(arcname, f.read(), 0o755 if arcname.endswith(".so") else 0o644)
        add(NAME + "/_version.py", _version_module())
        add(info + "/METADATA", _metadata().encode())
        add(info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: talvenor_build\nRoot-Is-Purelib: %s\nTag: %s\n"
                              % ("true" if tag.endswith("any") else "false", tag)).encode())
        records.append(info + "/RECORD,,")
        whl.writestr(info + "/RECORD", "\n".join(records) + "\n")
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, _version())
    name = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as tar:
        for rel in ["pyproject.toml", "_backend/talvenor_build.py", "make_stub.py"] + [
                "talvenor/" + n for n in sorted(os.listdir(PACKAGE)) if n.endswith((".py", ".pyi")) or n == "py.typed"]:
            tar.add(os.path.join(PROJECT, rel), arcname=base + "/" + rel)
        module = _version_module()
        entry = tarfile.TarInfo(base + "/talvenor/_version.py")
        entry.size = len(module)
        tar.addfile(entry, io.BytesIO(module))
        data = _metadata().encode()
        entry = tarfile.TarInfo(base + "/PKG-INFO")
        entry.size = len(data)
        tar.addfile(entry, io.BytesIO(data))
    return name


# Editable installs (pip install -e): a wheel whose .pth file puts this folder on the path, so the
# package is used where it lies, changes included.
def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
    return prepare_metadata_for_build_wheel(metadata_directory, config_settings)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    version = _version()
    wheel_name = "%s-%s-py3-none-any.whl" % (NAME, version)
    info = "%s-%s.dist-info" % (NAME, version)
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as whl:
        def add(arcname, data):
            whl.writestr(zipfile.ZipInfo(arcname, date_time=(2026, 1, 1, 0, 0, 0)), data)
            records.append(_record_line(arcname, data))

        add("__editable__.%s.pth" % NAME, (PROJECT + "\n").encode())
        add(info + "/METADATA", _metadata().encode())
        add(info + "/WHEEL", b"Wheel-Version: 1.0\nGenerator: talvenor_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n")
        records.append(info + "/RECORD,,")
        whl.writestr(info + "/RECORD", "\n".join(records) + "\n")
    return wheel_name
