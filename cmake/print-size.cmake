# cmake -DFILE=... -DBOUND=... -P print-size.cmake: prints a file's size and
# the bound it is kept under.
file(SIZE "${FILE}" size)
get_filename_component(name "${FILE}" NAME)
message(STATUS "${name}: ${size} bytes (bound ${BOUND})")
