# Warnings every target of the project is built with.
add_library(tarnwick_warnings INTERFACE)
target_compile_options(tarnwick_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wsuggest-override
    $<$<BOOL:${TARNWICK_WERROR}>:-Werror>)
