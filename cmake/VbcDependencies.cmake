# Finds the packages the build needs. A missing one stops the configure step with a single line
# that names the Debian package to install, instead of the package's own pages of search notes.

# vbc_require(DEBIAN_PACKAGE <find_package arguments...>)
# A package the Windows cross-build provides itself (cmake/VbcWindowsDependencies.cmake) is
# not searched for.
macro(vbc_require vbc_deb_package)
    if(NOT VBC_PROVIDED_${ARGV1})
        find_package(${ARGN} QUIET)
        if(NOT ${ARGV1}_FOUND)
            vbc_missing(${vbc_deb_package} "${ARGV1}")
        endif()
    endif()
endmacro()

function(vbc_missing deb_package what)
    message(FATAL_ERROR
        " Missing Debian package ${deb_package} (for ${what}): run scripts/deps.sh")
endfunction()

# Qt 6 components in the order they depend on one another, each with the package that holds
# it: the first one that cannot be found is the package to name.
macro(vbc_require_qt6)
    find_package(Qt6 QUIET COMPONENTS ${ARGN})
    if(NOT Qt6_FOUND)
        # Qt's GUI module needs the OpenGL headers and library.
        find_package(OpenGL QUIET)
        if(NOT OpenGL_FOUND)
            vbc_missing(libgl-dev "OpenGL, needed by Qt 6")
        endif()
        foreach(vbc_qt_entry
                Core:qt6-base-dev Gui:qt6-base-dev Widgets:qt6-base-dev Test:qt6-base-dev
                OpenGL:libqt6opengl6-dev OpenGLWidgets:libqt6opengl6-dev
                UiTools:qt6-tools-dev)
            string(REPLACE ":" ";" vbc_qt_pair "${vbc_qt_entry}")
            list(GET vbc_qt_pair 0 vbc_qt_component)
            list(GET vbc_qt_pair 1 vbc_qt_package)
            find_package(Qt6 QUIET COMPONENTS ${vbc_qt_component})
            if(NOT Qt6_FOUND)
                vbc_missing(${vbc_qt_package} "Qt6 ${vbc_qt_component}")
            endif()
        endforeach()
        vbc_missing(qt6-base-dev "Qt6 ${ARGN}")
    endif()
endmacro()
