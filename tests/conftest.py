import os

from hypothesis import settings

# No example database: runs leave nothing behind in the tree.
settings.register_profile("default", database=None)
# Leak hunting repeats every test; the same examples each time keep the counts comparable.
settings.register_profile("refleak", database=None, derandomize=True, max_examples=30)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
