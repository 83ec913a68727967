# cmake -DSOURCE=<bundle> -DDESTINATION=<bundle> -DKEY=<pem> -DSIGN_TOOL=<bundle-sign>
#       -P StageSignedBundle.cmake
# Copies SOURCE (links kept as links, permissions and times kept) into a fresh folder beside
# DESTINATION, signs and checks the copy, then puts it in place of DESTINATION. The old copy goes
# first, so that a failed run leaves no payload rather than a stale one.
foreach(variable SOURCE DESTINATION KEY SIGN_TOOL)
    if("${${variable}}" STREQUAL "")
        message(FATAL_ERROR "StageSignedBundle.cmake needs -D${variable}=...")
    endif()
endforeach()
if(IS_SYMLINK "${SOURCE}" OR NOT IS_DIRECTORY "${SOURCE}")
    message(FATAL_ERROR "The bundle to ship, '${SOURCE}', is not a folder.")
endif()
if(NOT EXISTS "${KEY}")
    message(FATAL_ERROR "The signing key '${KEY}' does not exist.")
endif()

get_filename_component(parent "${DESTINATION}" DIRECTORY)
file(MAKE_DIRECTORY "${parent}")
set(staging "${DESTINATION}.staging")
file(REMOVE_RECURSE "${DESTINATION}" "${staging}")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        file(REMOVE_RECURSE "${staging}")
        string(REPLACE ";" " " shown "${ARGN}")
        message(FATAL_ERROR "Failed (${result}): ${shown}")
    endif()
endfunction()

run(cp -a "${SOURCE}" "${staging}")
run("${SIGN_TOOL}" sign --key "${KEY}" "${staging}")
run("${SIGN_TOOL}" verify "${staging}")
file(RENAME "${staging}" "${DESTINATION}")
