"""Framework utility stand-ins: time and SDK-code converters, loggers."""
