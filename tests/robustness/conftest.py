"""The robustness tests: property-based checks (hypothesis), faults through
the MES simulator, a short load run.

Hypothesis profiles: "ci" by default, "long" for a fuzzing run:

    HYPOTHESIS_PROFILE=long /usr/bin/python3 -m pytest tests/robustness -x
"""

import robustness_support

PROFILE = robustness_support.load_hypothesis_profile()
