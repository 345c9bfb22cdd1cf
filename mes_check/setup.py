"""The MES check's own wheel: pure Python, one package (m4r_mescheck) and one command
(m4r-mescheck); it installs nothing over the station's modules.

    /usr/bin/python3 -m build --no-isolation --wheel --outdir DIR mes_check
"""

import re
from pathlib import Path

from setuptools import setup

here = Path(__file__).resolve().parent
version = re.search(r'__version__ = "([^"]+)"',
                    (here / "m4r_mescheck" / "__init__.py").read_text(encoding="utf-8")).group(1)

setup(
    name="m4r_mescheck",
    version=version,
    description="A read-only check that the factory's MES answers the station as m4r_tessavor "
                "needs",
    packages=["m4r_mescheck"],
    python_requires=">=3.6",
    entry_points={"console_scripts": ["m4r-mescheck = m4r_mescheck.cli:main"]},
    # built beside the other wheels' builds, not in the sources
    options={"build": {"build_base": str(here.parent / "build-wheel" / "mescheck")}},
)
