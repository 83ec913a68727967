# The assembled installer, ${VANTOREL_INSTALLER_BUNDLE}:
#   Contents/Info.plist                            written here
#   Contents/MacOS/Instalator Vantorel             the installer executable (target `installer`)
#   Contents/Resources/Payload/Vantorel.app        the payload, copied and signed here
# The payload is the demo application unless VANTOREL_PAYLOAD_BUNDLE names another bundle.

set(VANTOREL_PAYLOAD_BUNDLE "" CACHE PATH
    "Application bundle that the installer ships (empty: the demo application built here)")
set(VANTOREL_SIGNING_KEY "" CACHE FILEPATH
    "Ed25519 private key (PEM) that signs the payload (empty: a key made in the build folder)")

configure_file("${CMAKE_CURRENT_LIST_DIR}/InstallerInfo.plist.in"
               "${VANTOREL_INSTALLER_BUNDLE}/Contents/Info.plist" @ONLY)

set(payload_destination "${VANTOREL_INSTALLER_BUNDLE}/Contents/Resources/Payload/Vantorel.app")
if(VANTOREL_SIGNING_KEY)
    set(payload_key "${VANTOREL_SIGNING_KEY}")
else()
    set(payload_key "${VANTOREL_BUILD_SIGNING_KEY}")
endif()

if(VANTOREL_PAYLOAD_BUNDLE)
    # The build cannot know when files inside a foreign bundle change: copy it on every build.
    vantorel_signed_bundle(installer_payload ALWAYS
        SOURCE "${VANTOREL_PAYLOAD_BUNDLE}"
        DESTINATION "${payload_destination}"
        KEY "${payload_key}")
else()
    vantorel_signed_bundle(installer_payload
        SOURCE "${VANTOREL_DEMO_BUNDLE}"
        DESTINATION "${payload_destination}"
        KEY "${payload_key}"
        DEPENDS demo_bundle "${PROJECT_BINARY_DIR}/demo/demo_bundle.stamp")
endif()
