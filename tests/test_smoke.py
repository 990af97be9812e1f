import importlib


def test_modules_import():
    assert importlib.import_module("orvane.tamsel.core.events")
