"""Stand-in for the trading SDK: its strategy base class, its context, its enumerations and
the records its callbacks deliver. Registered as `pyvorn`, `pyvorn.strategy` and `pyvorn.enums`
by tidesim.install()."""
