# Makes a bundle carry what its executable needs beyond what every Linux desktop has, in the layout
# of a deployed macOS Qt application (used in script mode by MakeDiskImage.cmake):
#   Contents/Frameworks/        shared libraries, each under its soname
#   Contents/PlugIns/           Qt plugins, by category (platforms/libqxcb.so, ...)
#   Contents/Resources/qml/     QML modules: their qmldir and plugin
#   Contents/Resources/qt.conf  Qt's paths inside the bundle
# Every ELF file placed in the bundle gets a run path to Contents/Frameworks relative to its own
# folder ($ORIGIN/...), as a DT_RPATH: the loader searches that before LD_LIBRARY_PATH (a DT_RUNPATH
# only after it, so LD_LIBRARY_PATH could pull in another Qt), and a run path serves only the file
# that carries it, so a plugin or a library that names another library must find it beside the
# bundle's copies, never in the system's folders. (A DT_RPATH counts only in a file without a
# DT_RUNPATH: patchelf --force-rpath turns the one into the other.)

# What every Linux desktop has, by library file name. These libraries, and every library they are
# themselves built on, stay the system's: a bundled copy of, say, zlib would be used by the system's
# freetype too.
set(VANTOREL_SYSTEM_LIBRARY_PATTERNS
    # the C runtime and GCC's C and C++ runtimes
    "/(ld-linux[^/]*|lib(c|m|dl|pthread|rt|resolv|util|anl|nsl|mvec|BrokenLocale))\\.so[^/]*$"
    "/lib(gcc_s|stdc\\+\\+)\\.so[^/]*$"
    # X11 and xcb, with X's keyboard maps and session management
    "/lib(X[A-Za-z0-9-]*|xcb[^/]*|xkbcommon[^/]*|ICE|SM|xshmfence)\\.so[^/]*$"
    # Wayland's client libraries: every Wayland desktop has them, as every X11 desktop has xcb (the
    # keyboard maps, xkbcommon above, serve Wayland too)
    "/libwayland-(client|cursor|egl)\\.so[^/]*$"
    # OpenGL and EGL
    "/lib(GL|GLX|EGL|OpenGL|GLESv[12]_CM|GLESv2|GLdispatch|gbm|drm[^/]*)\\.so[^/]*$"
    # fontconfig and freetype
    "/lib(fontconfig|freetype)\\.so[^/]*$"
    # GLib
    "/lib(glib|gobject|gio|gmodule|gthread)-2\\.0\\.so[^/]*$"
    # D-Bus
    "/libdbus-1\\.so[^/]*$")

function(vantorel_fail_on_result result what)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${what} failed (${result}).")
    endif()
endfunction()

# The libraries that FILES need and that the bundle must carry: all they need, less the system's
# libraries and everything those need in turn.
function(vantorel_libraries_to_bundle out_var)
    cmake_parse_arguments(ARG "" "" "EXECUTABLES;MODULES" ${ARGN})
    file(GET_RUNTIME_DEPENDENCIES
        EXECUTABLES ${ARG_EXECUTABLES}
        MODULES ${ARG_MODULES}
        RESOLVED_DEPENDENCIES_VAR needed
        UNRESOLVED_DEPENDENCIES_VAR missing)
    if(missing)
        message(FATAL_ERROR "These libraries cannot be found on this system: ${missing}")
    endif()
    set(system "")
    foreach(library IN LISTS needed)
        foreach(pattern IN LISTS VANTOREL_SYSTEM_LIBRARY_PATTERNS)
            if(library MATCHES "${pattern}")
                list(APPEND system "${library}")
                break()
            endif()
        endforeach()
    endforeach()
    set(bundled ${needed})
    if(system)
        list(REMOVE_ITEM bundled ${system})
        file(GET_RUNTIME_DEPENDENCIES
            LIBRARIES ${system}
            RESOLVED_DEPENDENCIES_VAR beneath_system
            UNRESOLVED_DEPENDENCIES_VAR ignored)  # the system's own concern
        if(beneath_system)
            list(REMOVE_ITEM bundled ${beneath_system})
        endif()
    endif()
    set(${out_var} ${bundled} PARENT_SCOPE)
endfunction()

# The value of a top-level string key of a bundle's Info.plist (XML), or the empty string when the
# key is missing. A property list in another form fails: the build reads only XML.
function(vantorel_bundle_info_string out_var bundle key)
    set(plist "${bundle}/Contents/Info.plist")
    if(NOT EXISTS "${plist}")
        message(FATAL_ERROR "The bundle ${bundle} has no Contents/Info.plist.")
    endif()
    file(READ "${plist}" text)
    if(NOT text MATCHES "^[ \t\r\n]*<\\?xml")
        message(FATAL_ERROR "${plist} is not an XML property list, the only kind the build reads: "
                            "write it as XML (plistutil -f xml converts one).")
    endif()
    if(text MATCHES "<key>${key}</key>[ \t\r\n]*<string>([^<]*)</string>")
        set(${out_var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
    else()
        set(${out_var} "" PARENT_SCOPE)
    endif()
endfunction()

# Points the run path (DT_RPATH) of an ELF file at the bundle's Frameworks folder, relative to the
# file.
function(vantorel_set_run_path file frameworks patchelf)
    get_filename_component(folder "${file}" DIRECTORY)
    file(RELATIVE_PATH relative "${folder}" "${frameworks}")
    if(relative STREQUAL "")
        set(run_path "$ORIGIN")
    else()
        set(run_path "$ORIGIN/${relative}")
    endif()
    execute_process(COMMAND "${patchelf}" --force-rpath --set-rpath "${run_path}" "${file}"
                    RESULT_VARIABLE result)
    vantorel_fail_on_result("${result}" "Setting the run path of ${file}")
endfunction()

# vantorel_complete_bundle(BUNDLE <X.app> EXECUTABLE <name in Contents/MacOS>
#     PLUGINS <path below QT_PLUGINS>... QML_MODULES <path below QT_QML>...
#     QT_PLUGINS <folder> QT_QML <folder> QT_CONF <file> PATCHELF <program> STRIP <program>)
function(vantorel_complete_bundle)
    cmake_parse_arguments(ARG ""
        "BUNDLE;EXECUTABLE;QT_PLUGINS;QT_QML;QT_CONF;PATCHELF;STRIP" "PLUGINS;QML_MODULES" ${ARGN})
    set(contents "${ARG_BUNDLE}/Contents")
    set(executable "${contents}/MacOS/${ARG_EXECUTABLE}")
    set(frameworks "${contents}/Frameworks")
    # Debugging information is for the build tree; the shipped program goes without it.
    execute_process(COMMAND "${ARG_STRIP}" --strip-all "${executable}" RESULT_VARIABLE result)
    vantorel_fail_on_result("${result}" "Stripping ${executable}")

    set(modules "")
    foreach(plugin IN LISTS ARG_PLUGINS)
        get_filename_component(category "${plugin}" DIRECTORY)
        file(COPY "${ARG_QT_PLUGINS}/${plugin}" DESTINATION "${contents}/PlugIns/${category}")
        list(APPEND modules "${contents}/PlugIns/${plugin}")
    endforeach()
    foreach(qml_module IN LISTS ARG_QML_MODULES)
        # The module's own files; nested modules are listed on their own, and the type
        # descriptions (*.qmltypes) serve only tools.
        file(GLOB module_files LIST_DIRECTORIES false "${ARG_QT_QML}/${qml_module}/*")
        list(FILTER module_files EXCLUDE REGEX "\\.qmltypes$")
        if(NOT module_files)
            message(FATAL_ERROR "The QML module ${qml_module} is not in ${ARG_QT_QML}.")
        endif()
        file(COPY ${module_files} DESTINATION "${contents}/Resources/qml/${qml_module}")
        file(GLOB module_plugins "${contents}/Resources/qml/${qml_module}/*.so")
        list(APPEND modules ${module_plugins})
    endforeach()

    vantorel_libraries_to_bundle(libraries EXECUTABLES "${executable}" MODULES ${modules})
    file(MAKE_DIRECTORY "${frameworks}")
    set(elf_files "${executable}" ${modules})
    foreach(library IN LISTS libraries)
        # Under the name programs ask for (the soname), as a plain file rather than a link chain.
        get_filename_component(soname "${library}" NAME)
        file(REAL_PATH "${library}" real_library)
        file(COPY_FILE "${real_library}" "${frameworks}/${soname}")
        list(APPEND elf_files "${frameworks}/${soname}")
    endforeach()
    foreach(file IN LISTS elf_files)
        vantorel_set_run_path("${file}" "${frameworks}" "${ARG_PATCHELF}")
    endforeach()

    # Qt on Linux looks for qt.conf beside the executable, and takes relative paths in it from
    # there; the file itself stays where the macOS layout keeps it.
    file(COPY_FILE "${ARG_QT_CONF}" "${contents}/Resources/qt.conf")
    file(CREATE_LINK "../Resources/qt.conf" "${contents}/MacOS/qt.conf" SYMBOLIC)
endfunction()
