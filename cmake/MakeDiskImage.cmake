# cmake -DSETTINGS=<file> -P MakeDiskImage.cmake
# Builds the disk image that users receive, from scratch in the folder STAGING:
#   <STAGING>/root/Instalator Vantorel.app   the installer, completed with what it needs
#   <STAGING>/root/Instalator Vantorel       a link to its executable, for a file manager's double-click
# The demo payload is completed first and signed last, so that its signature covers what it carries;
# a vendor's own bundle goes in as the build tree has it. SETTINGS (written by DiskImage.cmake) sets
# the inputs: the bundles, the signing key and tool, the Qt folders, the lists of plugins and QML
# modules, the programs, and IMAGE, the image to write.
include("${SETTINGS}")
include("${CMAKE_CURRENT_LIST_DIR}/CompleteBundle.cmake")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        string(REPLACE ";" " " shown "${ARGN}")
        message(FATAL_ERROR "Failed (${result}): ${shown}")
    endif()
endfunction()

set(root "${STAGING}/root")
set(installer "${root}/Instalator Vantorel.app")
set(payload "${installer}/Contents/Resources/Payload/Vantorel.app")
set(completion_settings
    QML_MODULES ${QML_MODULES} QT_PLUGINS "${QT_PLUGINS}" QT_QML "${QT_QML}" QT_CONF "${QT_CONF}"
    PATCHELF "${PATCHELF}" STRIP "${STRIP}")
file(REMOVE_RECURSE "${STAGING}")
file(MAKE_DIRECTORY "${root}")

# The installer without the build tree's payload, which runs on the system's libraries.
file(COPY "${INSTALLER_BUNDLE}" DESTINATION "${root}"
     REGEX "/Contents/Resources/Payload$" EXCLUDE)
vantorel_complete_bundle(BUNDLE "${installer}" EXECUTABLE "Instalator Vantorel"
                         PLUGINS ${INSTALLER_PLUGINS} ${completion_settings})

if(DEMO_BUNDLE)
    set(demo "${STAGING}/demo/Vantorel.app")
    file(MAKE_DIRECTORY "${STAGING}/demo")
    run(cp -a "${DEMO_BUNDLE}" "${demo}")
    vantorel_complete_bundle(BUNDLE "${demo}" EXECUTABLE "Vantorel"
                             PLUGINS ${DEMO_PLUGINS} ${completion_settings})
    run("${CMAKE_COMMAND}" "-DSOURCE=${demo}" "-DDESTINATION=${payload}" "-DKEY=${KEY}"
        "-DSIGN_TOOL=${SIGN_TOOL}" -P "${CMAKE_CURRENT_LIST_DIR}/StageSignedBundle.cmake")
else()
    get_filename_component(payload_folder "${payload}" DIRECTORY)
    file(MAKE_DIRECTORY "${payload_folder}")
    run(cp -a "${INSTALLER_BUNDLE}/Contents/Resources/Payload/Vantorel.app" "${payload}")
endif()

file(CREATE_LINK "Instalator Vantorel.app/Contents/MacOS/Instalator Vantorel"
     "${root}/Instalator Vantorel" SYMBOLIC)

# Written beside the image and renamed over it, so that a failed build leaves no partial image.
# mksquashfs stores identical files once, so the libraries both bundles carry take room once.
file(REMOVE "${IMAGE}.partial")
run("${MKSQUASHFS}" "${root}" "${IMAGE}.partial" -noappend -all-root -quiet ${SQUASHFS_OPTIONS})
file(RENAME "${IMAGE}.partial" "${IMAGE}")
