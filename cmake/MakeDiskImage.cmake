# cmake -DSETTINGS=<file> -P MakeDiskImage.cmake
# Builds the disk image that users receive, from scratch in the folder STAGING:
#   <STAGING>/root/Instalator Vantorel.app   the installer, completed with what it needs
#   <STAGING>/root/Instalator Vantorel       a link to its executable, for a file manager's double-click
# The payload to complete (the demo's bundle, or a vendor's when VANTOREL_COMPLETE_PAYLOAD asks for
# it) is completed first and signed last, so that its signature covers what it carries; otherwise
# the payload goes in as the build tree has it, signed. SETTINGS (written by DiskImage.cmake) sets
# the inputs: the bundles, the identifier the installer accepts, the signing key and tool, the Qt
# folders, the lists of plugins and QML modules, the programs, and IMAGE, the image to write.
include("${SETTINGS}")
include("${CMAKE_CURRENT_LIST_DIR}/CompleteBundle.cmake")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        string(REPLACE ";" " " shown "${ARGN}")
        message(FATAL_ERROR "Failed (${result}): ${shown}")
    endif()
endfunction()

# The bundle to complete, checked before anything is made. The installer accepts only the
# identifier it was built with: say so now rather than leave it to the person installing.
if(PAYLOAD_TO_COMPLETE)
    vantorel_bundle_info_string(identifier "${PAYLOAD_TO_COMPLETE}" CFBundleIdentifier)
    vantorel_bundle_info_string(executable "${PAYLOAD_TO_COMPLETE}" CFBundleExecutable)
    if(NOT identifier STREQUAL BUNDLE_ID)
        message(FATAL_ERROR "The bundle ${PAYLOAD_TO_COMPLETE} has the identifier '${identifier}' "
                            "but the installer accepts only '${BUNDLE_ID}': set VANTOREL_BUNDLE_ID.")
    endif()
    if(executable STREQUAL "" OR NOT EXISTS "${PAYLOAD_TO_COMPLETE}/Contents/MacOS/${executable}")
        message(FATAL_ERROR "The bundle ${PAYLOAD_TO_COMPLETE} names no executable of "
                            "Contents/MacOS in its Info.plist (CFBundleExecutable).")
    endif()
endif()

set(root "${STAGING}/root")
set(installer "${root}/Instalator Vantorel.app")
set(payload "${installer}/Contents/Resources/Payload/Vantorel.app")
set(qt_settings QT_PLUGINS "${QT_PLUGINS}" QT_QML "${QT_QML}" QT_CONF "${QT_CONF}"
                PATCHELF "${PATCHELF}" STRIP "${STRIP}")
file(REMOVE_RECURSE "${STAGING}")
file(MAKE_DIRECTORY "${root}")

# The installer without the build tree's payload, which runs on the system's libraries.
file(COPY "${INSTALLER_BUNDLE}" DESTINATION "${root}"
     REGEX "/Contents/Resources/Payload$" EXCLUDE)
vantorel_complete_bundle(BUNDLE "${installer}" EXECUTABLE "Instalator Vantorel"
                         PLUGINS ${INSTALLER_PLUGINS} QML_MODULES ${INSTALLER_QML_MODULES}
                         ${qt_settings})

if(PAYLOAD_TO_COMPLETE)
    set(completed "${STAGING}/payload/Vantorel.app")
    file(MAKE_DIRECTORY "${STAGING}/payload")
    run(cp -a "${PAYLOAD_TO_COMPLETE}" "${completed}")
    vantorel_complete_bundle(BUNDLE "${completed}" EXECUTABLE "${executable}"
                             PLUGINS ${PAYLOAD_PLUGINS} QML_MODULES ${PAYLOAD_QML_MODULES}
                             ${qt_settings})
    run("${CMAKE_COMMAND}" "-DSOURCE=${completed}" "-DDESTINATION=${payload}" "-DKEY=${KEY}"
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
