"""Stand-ins for the framework services the bridge calls: environment, data model, portfolio,
constants, converters, loggers and configuration. tidesim.install() registers them under the
framework's module names."""
