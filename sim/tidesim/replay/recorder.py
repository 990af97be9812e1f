"""The recorder lives in the production distribution `tiderec` (tiderec.recorder); this name
stays for the tools and code that import it from here. The module object is the same one."""
import importlib
import sys

sys.modules[__name__] = importlib.import_module("tiderec.recorder")
