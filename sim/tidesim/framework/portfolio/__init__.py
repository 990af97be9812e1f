"""Framework portfolio stand-ins."""
