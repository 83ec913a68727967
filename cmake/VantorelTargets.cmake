# Settings shared by every target of this project (not imposed on projects that include it).
function(vantorel_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    set_target_properties(${target} PROPERTIES AUTOMOC ON)
endfunction()
