"""Test set-up: the stand-ins for the trading SDK and the framework are registered under their
real module names before anything imports the bridge."""
import tidesim

tidesim.install()
