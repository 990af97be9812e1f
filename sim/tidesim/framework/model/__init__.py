"""Framework data model stand-ins."""
