# `make image` (target `image`): the compressed, read-only disk image that users receive,
# ${VANTOREL_DISK_IMAGE}, made by MakeDiskImage.cmake. Not part of the default build.
set(VANTOREL_DISK_IMAGE "${PROJECT_BINARY_DIR}/Instalator Vantorel.img")

# What each program loads: the X11 platform and Wayland's (with the xdg-shell window integration
# and the decorations it draws itself where the desktop draws none), the input methods (compose
# keys, and IBus, which GNOME desktops select), the image formats that Qt loads while it reads the
# installer's icon, and the demo's OpenGL on X11 and on Wayland (EGL). The installer draws in
# software and needs no OpenGL integration.
set(VANTOREL_WAYLAND_PLUGINS
    platforms/libqwayland-generic.so
    wayland-shell-integration/libxdg-shell.so
    wayland-decoration-client/libbradient.so)
set(VANTOREL_INSTALLER_PLUGINS
    platforms/libqxcb.so
    ${VANTOREL_WAYLAND_PLUGINS}
    platforminputcontexts/libcomposeplatforminputcontextplugin.so
    platforminputcontexts/libibusplatforminputcontextplugin.so
    imageformats/libqgif.so
    imageformats/libqico.so
    imageformats/libqjpeg.so)
set(VANTOREL_DEMO_PLUGINS
    platforms/libqxcb.so
    ${VANTOREL_WAYLAND_PLUGINS}
    platforminputcontexts/libcomposeplatforminputcontextplugin.so
    platforminputcontexts/libibusplatforminputcontextplugin.so
    xcbglintegrations/libqxcb-glx-integration.so
    xcbglintegrations/libqxcb-egl-integration.so
    wayland-graphics-integration-client/libqt-plugin-wayland-egl.so)
# The modules that `import QtQuick` and `import QtQuick.Window` bring in, for both programs.
set(VANTOREL_QML_MODULES QtQml QtQml/Models QtQml/WorkerScript QtQuick QtQuick/Window)
# squashfs: the kernel mounts it from a loop device (GNOME's Disk Image Mounter does so on a
# double-click) and squashfuse mounts it without root; it stores identical files once. A first start
# decompresses some 40 to 60 MiB of libraries: zstd does that fast enough to keep the first start
# from the image within 1.2 to 1.5 times the build tree's, both cold, where xz needs 5 to 8 times;
# 1 MiB blocks make the smallest zstd image (README, "The image's format").
set(VANTOREL_SQUASHFS_OPTIONS -comp zstd -Xcompression-level 19 -b 1M)

find_program(VANTOREL_MKSQUASHFS mksquashfs PATHS /usr/sbin /sbin)
find_program(VANTOREL_PATCHELF patchelf)
if(NOT VANTOREL_MKSQUASHFS OR NOT VANTOREL_PATCHELF)
    add_custom_target(image
        COMMAND "${CMAKE_COMMAND}" -E echo
                "The disk image needs mksquashfs and patchelf: run scripts/install-deps."
        COMMAND "${CMAKE_COMMAND}" -E false
        VERBATIM)
    return()
endif()

# A vendor's bundle goes in as the build tree has it (signed), unless it is to be completed as the
# demo's is; the demo's unsigned bundle is always completed. A bundle completed here is signed
# last, with the payload's key.
option(VANTOREL_COMPLETE_PAYLOAD
    "Complete VANTOREL_PAYLOAD_BUNDLE in the disk image as the demo's bundle is completed" OFF)
set(VANTOREL_PAYLOAD_EXTRA_PLUGINS "" CACHE STRING
    "Qt plugins (below Qt's plugin folder) that a completed VANTOREL_PAYLOAD_BUNDLE needs beyond the demo's")
set(VANTOREL_PAYLOAD_EXTRA_QML_MODULES "" CACHE STRING
    "QML modules (below Qt's QML folder) that a completed VANTOREL_PAYLOAD_BUNDLE needs beyond the demo's")
set(payload_plugins ${VANTOREL_DEMO_PLUGINS})
set(payload_qml_modules ${VANTOREL_QML_MODULES})
if(NOT VANTOREL_PAYLOAD_BUNDLE)
    set(payload_to_complete "${VANTOREL_DEMO_UNSIGNED_BUNDLE}")
elseif(VANTOREL_COMPLETE_PAYLOAD)
    set(payload_to_complete "${VANTOREL_PAYLOAD_BUNDLE}")
    list(APPEND payload_plugins ${VANTOREL_PAYLOAD_EXTRA_PLUGINS})
    list(APPEND payload_qml_modules ${VANTOREL_PAYLOAD_EXTRA_QML_MODULES})
else()
    set(payload_to_complete "")
endif()
set(settings "${PROJECT_BINARY_DIR}/disk-image-settings.cmake")
file(GENERATE OUTPUT "${settings}" CONTENT "\
set(INSTALLER_BUNDLE [[${VANTOREL_INSTALLER_BUNDLE}]])
set(PAYLOAD_TO_COMPLETE [[${payload_to_complete}]])
set(BUNDLE_ID [[${VANTOREL_BUNDLE_ID}]])
set(KEY [[${payload_key}]])
set(SIGN_TOOL [[$<TARGET_FILE:bundle-sign>]])
set(STAGING [[${PROJECT_BINARY_DIR}/image]])
set(IMAGE [[${VANTOREL_DISK_IMAGE}]])
set(QT_PLUGINS [[${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}]])
set(QT_QML [[${QT6_INSTALL_PREFIX}/${QT6_INSTALL_QML}]])
set(QT_CONF [[${CMAKE_CURRENT_LIST_DIR}/qt.conf]])
set(INSTALLER_PLUGINS ${VANTOREL_INSTALLER_PLUGINS})
set(INSTALLER_QML_MODULES ${VANTOREL_QML_MODULES})
set(PAYLOAD_PLUGINS ${payload_plugins})
set(PAYLOAD_QML_MODULES ${payload_qml_modules})
set(SQUASHFS_OPTIONS ${VANTOREL_SQUASHFS_OPTIONS})
set(MKSQUASHFS [[${VANTOREL_MKSQUASHFS}]])
set(PATCHELF [[${VANTOREL_PATCHELF}]])
set(STRIP [[${CMAKE_STRIP}]])
")

set(image_command "${CMAKE_COMMAND}" "-DSETTINGS=${settings}"
                  -P "${CMAKE_CURRENT_LIST_DIR}/MakeDiskImage.cmake")
if(VANTOREL_PAYLOAD_BUNDLE)
    # The build cannot know when files inside a foreign bundle change: build the image every time.
    add_custom_target(image
        COMMAND ${image_command}
        DEPENDS installer installer_payload
        COMMENT "Building ${VANTOREL_DISK_IMAGE}"
        VERBATIM)
else()
    add_custom_command(OUTPUT "${VANTOREL_DISK_IMAGE}"
        COMMAND ${image_command}
        DEPENDS installer vantorel_demo bundle-sign installer_payload "${settings}"
                "${PROJECT_BINARY_DIR}/installer_payload.stamp" "${payload_key}"
                "${CMAKE_CURRENT_LIST_DIR}/MakeDiskImage.cmake"
                "${CMAKE_CURRENT_LIST_DIR}/CompleteBundle.cmake"
                "${CMAKE_CURRENT_LIST_DIR}/StageSignedBundle.cmake"
                "${CMAKE_CURRENT_LIST_DIR}/qt.conf"
        COMMENT "Building ${VANTOREL_DISK_IMAGE}"
        VERBATIM)
    add_custom_target(image DEPENDS "${VANTOREL_DISK_IMAGE}")
endif()
