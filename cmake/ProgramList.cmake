# Writes programs.list into the build folder: one line per program the scripts start, its name
# and where this build puts it. The scripts read it (scripts/programs.bash) instead of knowing
# the build's layout, so a program that moves to another folder is found where it went.
set(tarnwick_listed_programs tarnwick-bridge tarnwick-device model-stand-in)
set(tarnwick_program_list "")
foreach(program IN LISTS tarnwick_listed_programs)
    string(APPEND tarnwick_program_list "${program} $<TARGET_FILE:${program}>\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/programs.list CONTENT "${tarnwick_program_list}")
