"""The commands of the ``tavrin`` command line, one thin module per command or group."""
