# lc_docs_run.cmake - one Doxygen run of the reference (cmake/lc_docs.cmake):
#
#   cmake -DDOXYGEN=<doxygen> -DCONFIG=<Doxyfile> -DWARNINGS=<file>
#         [-DMAN_DIR=<.../man3> [-DLCCTL_PAGE=<lcctl.1>] | -DHTML_DIR=<folder> -DXML_DIR=<folder>]
#         -P lc_docs_run.cmake
#
# Empties the output folder first (no page of a removed name stays), runs
# Doxygen, and fails with its warnings when there are any.  For the man
# pages, each link page Doxygen writes (".so man3/<page>.3") becomes a
# symbolic link, which `man -l` and `man` open from any folder: the link of
# a function, macro, type, variable or constant to its family's page.
# Links of record fields and class members are dropped (their names, such
# as `count` or `next`, are no names of the library's own; the record's
# page describes them), and so are links whose names are no C identifiers
# (operators).  The headers' own pages go: each repeats its family's.  A
# record's page names lib_common/lib_common.h as the header to include.
# LCCTL_PAGE, the tool's own page, is copied into the section folder man1
# beside MAN_DIR.

cmake_minimum_required(VERSION 3.21)

if(NOT DOXYGEN)
  message(FATAL_ERROR "doxygen not found: install the Debian package doxygen "
    "(scripts/docs.sh and scripts/package.sh do)")
endif()
if(MAN_DIR)
  get_filename_component(MAN1_DIR "${MAN_DIR}/../man1" ABSOLUTE)
endif()
foreach(dir IN ITEMS "${MAN_DIR}" "${MAN1_DIR}" "${HTML_DIR}" "${XML_DIR}")
  if(dir)
    file(REMOVE_RECURSE "${dir}")
  endif()
endforeach()
file(REMOVE "${WARNINGS}")

execute_process(COMMAND "${DOXYGEN}" "${CONFIG}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
set(warnings "")
if(EXISTS "${WARNINGS}")
  file(READ "${WARNINGS}" warnings)
endif()
if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "Doxygen (${CONFIG}) failed: every exported name needs a comment, "
    "and no comment may have an error.\n${warnings}${out}")
endif()

# A record's or class's page names the header that declares it, as
# `#include <header.h>`; a program includes the one public header.
if(HTML_DIR)
  file(GLOB pages "${HTML_DIR}/struct*.html" "${HTML_DIR}/class*.html")
  foreach(page IN LISTS pages)
    file(READ "${page}" text)
    string(REGEX REPLACE "#include &lt;[A-Za-z0-9_]+\\.h&gt;"
      "#include \&lt;lib_common/lib_common.h\&gt;" text "${text}")
    file(WRITE "${page}" "${text}")
  endforeach()
endif()

if(MAN_DIR)
  # A header's page repeats its family's page under the header's name.
  file(GLOB header_pages "${MAN_DIR}/*.h.3")
  if(header_pages)
    file(REMOVE ${header_pages})
  endif()
  file(GLOB pages "${MAN_DIR}/*.3")
  set(links 0)
  foreach(page IN LISTS pages)
    file(READ "${page}" text)
    if(NOT text MATCHES "^\\.so man3/([^\n/]+\\.3)\n?$")
      # A page: the double quotes that cmake/lc_man_filter.awk marked, the
      # header to include, and no blank at the start of a paragraph (Doxygen
      # puts one after a code block, which roff shows as an indent).
      string(REPLACE "LcDoubleQuoteMark" "\\(dq" text "${text}")
      string(REPLACE "\n.PP\n " "\n.PP\n" text "${text}")
      string(REGEX REPLACE "#include <[A-Za-z0-9_]+\\\\&\\.h>"
        "#include <lib_common/lib_common\\\\&.h>" text "${text}")
      file(WRITE "${page}" "${text}")
      continue()
    endif()
    set(target "${CMAKE_MATCH_1}")
    get_filename_component(name "${page}" NAME_WLE)
    file(REMOVE "${page}")
    if(name MATCHES "^[A-Za-z_][A-Za-z0-9_]*$" AND NOT name MATCHES "^operator"
       AND target MATCHES "^lib_common_")
      file(CREATE_LINK "${target}" "${page}" SYMBOLIC)
      math(EXPR links "${links} + 1")
    endif()
  endforeach()
  if(links EQUAL 0)
    message(FATAL_ERROR "no man page links made in ${MAN_DIR}")
  endif()
  if(LCCTL_PAGE)
    file(COPY "${LCCTL_PAGE}" DESTINATION "${MAN1_DIR}")
  endif()
endif()
