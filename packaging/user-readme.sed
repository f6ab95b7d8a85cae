# The README without the passages for the project's developers (marked in it), for the packages.
/^<!-- developers -->$/,/^<!-- \/developers -->$/d
