# Turns every panel resource (resources/*.ui) into a byte array of the library, so the
# program carries its panels and never depends on files beside it or on a widget toolkit.
#
# Usage: cmake -DUI_DIR=<resources dir> -DOUTPUT=<generated .cpp> -P embed.cmake
#
# File names say where a resource belongs: <file>_<panel|menubar><number>_<word>.ui, where
# <file> "mmi" stands for "mmi.uir" and "utility" for "Utility.uir".

if(NOT UI_DIR OR NOT OUTPUT)
    message(FATAL_ERROR "embed.cmake needs UI_DIR and OUTPUT")
endif()

file(GLOB ui_files RELATIVE ${UI_DIR} ${UI_DIR}/*.ui)
list(SORT ui_files)

set(arrays "")
set(entries "")
set(index 0)
foreach(name IN LISTS ui_files)
    if(NOT name MATCHES "^(mmi|utility)_(panel|menubar)([0-9]+)_[a-z0-9_]+\\.ui$")
        message(FATAL_ERROR "resources/${name}: name must be <mmi|utility>_<panel|menubar>N_word.ui")
    endif()
    set(owner ${CMAKE_MATCH_1})
    set(kind ${CMAKE_MATCH_2})
    set(number ${CMAKE_MATCH_3})
    if(owner STREQUAL "mmi")
        set(resource_file "mmi.uir")
    else()
        set(resource_file "Utility.uir")
    endif()
    if(kind STREQUAL "panel")
        set(kind_value "UiResourceKind::Panel")
    else()
        set(kind_value "UiResourceKind::MenuBar")
    endif()

    file(READ ${UI_DIR}/${name} hex HEX)
    string(LENGTH "${hex}" hex_length)
    math(EXPR size "${hex_length} / 2")
    if(size EQUAL 0)
        message(FATAL_ERROR "resources/${name} is empty")
    endif()
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    # Keep the lines of the generated file short.
    string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n    " bytes "${bytes}")
    string(APPEND arrays "// ${name}\nconst char kUi${index}[] = {\n    ${bytes}'\\0'};\n\n")
    string(APPEND entries
        "    {\"${resource_file}\", ${kind_value}, ${number}, \"${name}\", {kUi${index}, ${size}}},\n")
    math(EXPR index "${index} + 1")
endforeach()

if(index EQUAL 0)
    message(FATAL_ERROR "no panel resources in ${UI_DIR}")
endif()

set(content "// Generated from resources/*.ui by resources/embed.cmake: do not edit.
#include \"toolkit/uiresources.h\"

namespace vbc::platform::detail {
namespace {

${arrays}}  // namespace

const UiResourceInfo kEmbeddedUi[] = {
${entries}};
const std::size_t kEmbeddedUiCount = sizeof(kEmbeddedUi) / sizeof(kEmbeddedUi[0]);

}  // namespace vbc::platform::detail
")

# Rewrite only on change, so an unchanged set of resources recompiles nothing.
set(tmp "${OUTPUT}.tmp")
file(WRITE ${tmp} "${content}")
configure_file(${tmp} ${OUTPUT} COPYONLY)
file(REMOVE ${tmp})
