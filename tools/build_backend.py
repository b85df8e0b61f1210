"""The build backend: scikit-build-core's, except on a Python older than this package supports.

No scikit-build-core that writes this package's metadata (its `license = "MIT"`) runs on
Python 3.7, and pip installs the build requirements before it reads the package's
Requires-Python. Without this module a 3.7 user would see "no matching distribution for
scikit-build-core" instead of the reason. So on such a Python the backend only describes the
package (name, version, Requires-Python), and pip refuses it for its Requires-Python as it
would a wheel.
"""

import re
import sys

MINIMUM_PYTHON = (3, 8)

if sys.version_info >= MINIMUM_PYTHON:
    from scikit_build_core.build import *  # noqa: F401,F403  (the backend hooks)
else:

    def _project_field(name):
        # A plain `name = "value"` line of pyproject.toml's [project] table (no tomllib here).
        with open("pyproject.toml", encoding="utf-8") as pyproject:
            text = pyproject.read()
        project = text.split("[project]", 1)[1]
        return re.search(r'^%s = "([^"]*)"' % name, project, re.M).group(1)

    def get_requires_for_build_wheel(config_settings=None):
        return []

    def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
        import os

        name, version = _project_field("name"), _project_field("version")
        dist_info = "%s-%s.dist-info" % (name.replace("-", "_"), version)
        os.makedirs(os.path.join(metadata_directory, dist_info))
        with open("pyproject.toml", encoding="utf-8") as pyproject:
            extras_table = pyproject.read().split("[project.optional-dependencies]", 1)[1]
        extras = re.findall(r"^(\w+) = \[", extras_table.split("\n[", 1)[0], re.M)
        with open(os.path.join(metadata_directory, dist_info, "METADATA"), "w") as metadata:
            metadata.write("Metadata-Version: 2.1\nName: %s\nVersion: %s\nRequires-Python: %s\n"
                           % (name, version, _project_field("requires-python")))
            metadata.writelines("Provides-Extra: %s\n" % extra for extra in extras)
        return dist_info

    def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
        raise SystemExit("%s needs Python %d.%d or later" % (
            _project_field("name"), MINIMUM_PYTHON[0], MINIMUM_PYTHON[1]))

    get_requires_for_build_sdist = get_requires_for_build_wheel
    build_sdist = build_wheel
