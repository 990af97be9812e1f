"""Test set-up: the stand-ins for the trading SDK and the framework are registered under their
real module names before anything imports the bridge, and their state is reset per test."""
import pytest

import tidesim

tidesim.install()


@pytest.fixture(autouse=True)
def _fresh_standins():
    tidesim.reset()
    yield
