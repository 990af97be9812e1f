"""Development-only stand-ins for the trading SDK and the framework services."""


def install(replace: bool = False) -> None:
    """Registers the stand-ins in sys.modules under the real module names."""
