# Signed bundles made by the build: the key that signs them and the rule that copies and signs one.

# A signing key made once, at configure time, inside the build tree. It is never committed: every
# build folder makes its own.
set(VANTOREL_BUILD_SIGNING_KEY "${PROJECT_BINARY_DIR}/signing/build-signing-key.pem")
if(NOT EXISTS "${VANTOREL_BUILD_SIGNING_KEY}")
    find_program(VANTOREL_OPENSSL openssl REQUIRED)
    file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/signing")
    execute_process(
        COMMAND "${VANTOREL_OPENSSL}" genpkey -algorithm ed25519 -out "${VANTOREL_BUILD_SIGNING_KEY}"
        RESULT_VARIABLE key_result ERROR_VARIABLE key_error)
    if(NOT key_result EQUAL 0)
        file(REMOVE "${VANTOREL_BUILD_SIGNING_KEY}")
        message(FATAL_ERROR "Could not make the build's signing key: ${key_error}")
    endif()
    file(CHMOD "${VANTOREL_BUILD_SIGNING_KEY}" PERMISSIONS OWNER_READ OWNER_WRITE)
endif()

# vantorel_signed_bundle(<target> SOURCE <bundle> DESTINATION <bundle> KEY <pem>
#                        [DEPENDS <files or targets>...] [ALWAYS])
# Copies SOURCE into a fresh folder, signs the copy with KEY, checks it and only then puts it in
# place of DESTINATION, so a stale or half-signed copy never lingers. Runs again when a DEPENDS item
# changes, or on every build with ALWAYS (for bundles whose files the build does not know).
function(vantorel_signed_bundle target)
    cmake_parse_arguments(ARG "ALWAYS" "SOURCE;DESTINATION;KEY" "DEPENDS" ${ARGN})
    set(stage_command
        "${CMAKE_COMMAND}"
        "-DSOURCE=${ARG_SOURCE}" "-DDESTINATION=${ARG_DESTINATION}" "-DKEY=${ARG_KEY}"
        "-DSIGN_TOOL=$<TARGET_FILE:bundle-sign>"
        -P "${PROJECT_SOURCE_DIR}/cmake/StageSignedBundle.cmake")
    if(ARG_ALWAYS)
        add_custom_target(${target} ALL
            COMMAND ${stage_command}
            DEPENDS bundle-sign ${ARG_DEPENDS}
            COMMENT "Copying and signing ${ARG_SOURCE}"
            VERBATIM)
    else()
        get_filename_component(name "${ARG_DESTINATION}" NAME)
        set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${target}.stamp")
        add_custom_command(OUTPUT "${stamp}"
            COMMAND ${stage_command}
            COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
            DEPENDS bundle-sign "${ARG_KEY}" "${PROJECT_SOURCE_DIR}/cmake/StageSignedBundle.cmake"
                    ${ARG_DEPENDS}
            COMMENT "Signing ${name}"
            VERBATIM)
        add_custom_target(${target} ALL DEPENDS "${stamp}")
    endif()
endfunction()
