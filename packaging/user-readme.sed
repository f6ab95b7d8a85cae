# The README without the passages for the project's developers, for the packages: the two
# commands it starts with (its first code block), and the passages marked in it.
1,/^```$/{/^```sh$/,/^```$/d}
/^<!-- developers -->$/,/^<!-- \/developers -->$/d
