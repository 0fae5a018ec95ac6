# The packages of the Windows cross-build (preset windows). Debian's -dev packages hold Linux
# builds, and /usr/include cannot be put on a MinGW compiler's path (its C library headers are
# glibc's): the header-only libraries are reached through a directory that holds only them, and
# the compiled ones are built here from the sources Debian ships (scripts/deps.sh windows).

set(VBC_WINDOWS_HEADERS ${CMAKE_BINARY_DIR}/vbc-headers)
file(MAKE_DIRECTORY ${VBC_WINDOWS_HEADERS})

# vbc_header_only(DEBIAN_PACKAGE FIND_NAME TARGET HEADER_DIR_BELOW_USR_INCLUDE)
function(vbc_header_only deb_package find_name target subdir)
    if(NOT EXISTS /usr/include/${subdir})
        vbc_missing(${deb_package} ${find_name})
    endif()
    file(CREATE_LINK /usr/include/${subdir} ${VBC_WINDOWS_HEADERS}/${subdir} SYMBOLIC)
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${VBC_WINDOWS_HEADERS})
    set(VBC_PROVIDED_${find_name} TRUE CACHE INTERNAL "")
endfunction()

vbc_header_only(libcli11-dev CLI11 CLI11::CLI11 CLI)
vbc_header_only(nlohmann-json3-dev nlohmann_json nlohmann_json::nlohmann_json nlohmann)

# pugixml: Debian's source package of the same version as libpugixml-dev, unpacked by
# scripts/deps.sh windows.
set(VBC_PUGIXML_SOURCE_DIR ${CMAKE_SOURCE_DIR}/build/deps/pugixml CACHE PATH
    "Unpacked Debian source package of pugixml (scripts/deps.sh windows)")
if(NOT EXISTS ${VBC_PUGIXML_SOURCE_DIR}/src/pugixml.cpp)
    message(FATAL_ERROR
        " Missing the pugixml sources in ${VBC_PUGIXML_SOURCE_DIR}: run scripts/deps.sh windows")
endif()
add_library(vbc_pugixml STATIC ${VBC_PUGIXML_SOURCE_DIR}/src/pugixml.cpp)
target_include_directories(vbc_pugixml SYSTEM PUBLIC ${VBC_PUGIXML_SOURCE_DIR}/src)
target_compile_options(vbc_pugixml PRIVATE -w)  # third-party code: its warnings are not ours
add_library(pugixml::pugixml ALIAS vbc_pugixml)
set(VBC_PROVIDED_pugixml TRUE CACHE INTERNAL "")

# SQLite: the one-file build (sqlite3.c) made by scripts/deps.sh windows from Debian's source
# package of the same version as libsqlite3-dev.
set(VBC_SQLITE_SOURCE_DIR ${CMAKE_SOURCE_DIR}/build/deps/sqlite3 CACHE PATH
    "SQLite's sqlite3.c and sqlite3.h, made from Debian's source package (scripts/deps.sh windows)")
if(NOT EXISTS ${VBC_SQLITE_SOURCE_DIR}/sqlite3.c)
    message(FATAL_ERROR
        " Missing the SQLite sources in ${VBC_SQLITE_SOURCE_DIR}: run scripts/deps.sh windows")
endif()
enable_language(C)  # SQLite is C
add_library(vbc_sqlite3 STATIC ${VBC_SQLITE_SOURCE_DIR}/sqlite3.c)
target_include_directories(vbc_sqlite3 SYSTEM PUBLIC ${VBC_SQLITE_SOURCE_DIR})
# As Debian builds it: foreign keys on, no extension loading (no DLL of anybody's is run).
target_compile_definitions(vbc_sqlite3 PRIVATE SQLITE_DEFAULT_FOREIGN_KEYS=1
    SQLITE_OMIT_LOAD_EXTENSION SQLITE_THREADSAFE=1)
target_compile_options(vbc_sqlite3 PRIVATE -w -O2)
add_library(SQLite::SQLite3 ALIAS vbc_sqlite3)
set(VBC_PROVIDED_SQLite3 TRUE CACHE INTERNAL "")

# GoogleTest: Debian's googletest package ships its sources for any compiler.
if(VBC_BUILD_TESTS)
    if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
        vbc_missing(googletest GTest)
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    foreach(t gtest gtest_main gmock gmock_main)
        target_compile_options(${t} PRIVATE -w)
        if(NOT TARGET GTest::${t})
            add_library(GTest::${t} ALIAS ${t})
        endif()
    endforeach()
    set(VBC_PROVIDED_GTest TRUE CACHE INTERNAL "")
endif()
