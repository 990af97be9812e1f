"""The session file format lives in the production distribution `tiderec` (tiderec.format);
this name stays for the tools and code that import it from here. The module object is the same
one, so whatever is set on either name is seen under both."""
import importlib
import sys

sys.modules[__name__] = importlib.import_module("tiderec.format")
