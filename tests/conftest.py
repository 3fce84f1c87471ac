import os
import sys

# Reference implementations beside the tests are imported as plain modules.
sys.path.insert(0, os.path.dirname(__file__))

# Fixtures shared by several test modules.
pytest_plugins = ["sweep_market"]
