# The reference, made by Doxygen from the comments of the installed headers
# and the front page lib_common/lib_common.md (scripts/docs.sh):
#
#   man   man pages of section 3 into ${LC_MAN_DIR}/man3, which the install
#         rules put beside the development files (share/man/man3): the
#         front page lib_common.3, a page per family (lib_common_tasks.3,
#         ...), a page per record, and a link per function, macro, type and
#         variable to its family's page (add_task.3 -> lib_common_tasks.3);
#         with LC_MAN part of every build, made again when a header or the
#         front page changes; lcctl(1) is copied into ${LC_MAN_DIR}/man1
#   docs  the man pages and the HTML reference in ${LC_HTML_DIR} (with
#         Doxygen's XML in ${LC_DOC_WORK_DIR}/xml for scripts/docs.sh)
#
# Either fails, printing Doxygen's warnings, when an exported name has no
# comment or a comment has an error.  Only in the top-level project, so
# that a project that adds this one keeps these target names for itself.

set(LC_HTML_DIR ${PROJECT_BINARY_DIR}/html CACHE PATH "Build-tree folder of the HTML reference")
set(LC_DOC_WORK_DIR ${PROJECT_BINARY_DIR}/doxygen)
find_program(LC_DOXYGEN doxygen)
if(LC_MAN AND NOT LC_DOXYGEN)
  message(FATAL_ERROR "Doxygen makes the man pages that every install holds: install the "
    "Debian package doxygen (scripts/deps.sh does), or configure with -DLC_MAN=OFF")
endif()

# The installed headers (the generated version header included), the front
# page and the guide to the queues.
set(LC_DOC_INPUT)
foreach(header IN LISTS LC_PUBLIC_HEADERS)
  string(APPEND LC_DOC_INPUT " \"${header}\"")
endforeach()
set(LC_DOC_FRONT ${PROJECT_SOURCE_DIR}/lib_common/lib_common.md)
set(LC_DOC_GUIDE ${PROJECT_SOURCE_DIR}/queues/choosing_a_queue.md)
string(APPEND LC_DOC_INPUT " \"${LC_DOC_FRONT}\" \"${LC_DOC_GUIDE}\"")

# One configuration per output.  The front page is the HTML reference's
# main page; among the man pages it is a page of its own (lib_common.3).
set(LC_DOC_HTML YES)
set(LC_DOC_MAN NO)
set(LC_DOC_HTML_DIR ${LC_HTML_DIR})
set(LC_DOC_MAINPAGE ${LC_DOC_FRONT})
set(LC_DOC_FILTER "")
set(LC_DOC_WARNINGS ${LC_DOC_WORK_DIR}/html-warnings.txt)
configure_file(${CMAKE_CURRENT_LIST_DIR}/lc_doxyfile.in ${LC_DOC_WORK_DIR}/Doxyfile.html @ONLY)
set(LC_DOC_HTML NO)
set(LC_DOC_MAN YES)
set(LC_DOC_MAINPAGE "")
set(LC_DOC_FILTER "\"awk -f ${CMAKE_CURRENT_LIST_DIR}/lc_man_filter.awk\"")
set(LC_DOC_WARNINGS ${LC_DOC_WORK_DIR}/man-warnings.txt)
configure_file(${CMAKE_CURRENT_LIST_DIR}/lc_doxyfile.in ${LC_DOC_WORK_DIR}/Doxyfile.man @ONLY)

set(LC_DOC_SOURCES ${LC_PUBLIC_HEADERS} ${LC_DOC_FRONT} ${LC_DOC_GUIDE} ${CMAKE_CURRENT_LIST_DIR}/lc_doxyfile.in
  ${CMAKE_CURRENT_LIST_DIR}/lc_docs_run.cmake ${CMAKE_CURRENT_LIST_DIR}/lc_man_filter.awk)
# The front page's man page stands for the whole run: Doxygen writes every
# page at once, and lc_docs_run.cmake empties the folder first.
set(LC_MAN_FRONT ${LC_MAN_DIR}/man3/lib_common.3)
set(LC_MAN_LCCTL "")
if(LC_BUILD_TOOLS AND EXISTS ${LC_LCCTL_MAN})
  set(LC_MAN_LCCTL -DLCCTL_PAGE=${LC_LCCTL_MAN})
  list(APPEND LC_DOC_SOURCES ${LC_LCCTL_MAN})
endif()
add_custom_command(OUTPUT ${LC_MAN_FRONT}
  COMMAND ${CMAKE_COMMAND} -DDOXYGEN=${LC_DOXYGEN} -DCONFIG=${LC_DOC_WORK_DIR}/Doxyfile.man
          -DWARNINGS=${LC_DOC_WORK_DIR}/man-warnings.txt -DMAN_DIR=${LC_MAN_DIR}/man3 ${LC_MAN_LCCTL}
          -P ${CMAKE_CURRENT_LIST_DIR}/lc_docs_run.cmake
  DEPENDS ${LC_DOC_SOURCES} ${LC_DOC_WORK_DIR}/Doxyfile.man
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Man pages into ${LC_MAN_DIR}"
  VERBATIM)
if(LC_MAN)
  set(LC_MAN_ALL ALL)
else()
  set(LC_MAN_ALL "")
endif()
add_custom_target(man ${LC_MAN_ALL} DEPENDS ${LC_MAN_FRONT} SOURCES ${LC_DOC_SOURCES})
add_custom_target(docs
  COMMAND ${CMAKE_COMMAND} -DDOXYGEN=${LC_DOXYGEN} -DCONFIG=${LC_DOC_WORK_DIR}/Doxyfile.html
          -DWARNINGS=${LC_DOC_WORK_DIR}/html-warnings.txt -DHTML_DIR=${LC_HTML_DIR}
          -DXML_DIR=${LC_DOC_WORK_DIR}/xml
          -P ${CMAKE_CURRENT_LIST_DIR}/lc_docs_run.cmake
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "HTML reference into ${LC_HTML_DIR}"
  VERBATIM)
add_dependencies(docs man)
