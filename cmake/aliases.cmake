# Vendor-to-ECS alias table, generated at build time from data/ecs/aliases.csv.
#
# Included by the top-level CMakeLists.txt this file adds a custom command that
# writes ${CMAKE_BINARY_DIR}/generated/core/ecs_aliases.inc and makes the
# library depend on it. Run in script mode
# (cmake -DALIAS_CSV=... -DALIAS_OUT=... -P aliases.cmake) it does the
# generation: it reads the "from,to" rows, checks that they are sorted
# byte-wise with no "from" twice (the lookup is a binary search) and writes a
# C++ table of { "from", "to" } rows for src/core/translate.cpp.

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_policy(VERSION 3.25)
  file(STRINGS "${ALIAS_CSV}" alias_rows ENCODING UTF-8)
  set(body "// Generated from data/ecs/aliases.csv by cmake/aliases.cmake; do not edit.\n")
  string(APPEND body "static const vdr_ecs_alias_ent vdr_ecs_alias_table[] = {\n")
  set(header_seen FALSE)
  set(prev "")
  set(have_prev FALSE)
  set(count 0)
  foreach(row IN LISTS alias_rows)
    if(row STREQUAL "")
      continue()
    endif()
    if(NOT header_seen)
      set(header_seen TRUE)
      if(row STREQUAL "from,to")
        continue()
      endif()
    endif()
    # Neither column may hold a comma, a quote or a backslash: the
    # rows carry none, and refusing them keeps the C++ literals plain.
    if(NOT row MATCHES "^([^,\"\\\\]+),([^,\"\\\\]+)$")
      message(FATAL_ERROR "aliases.cmake: malformed row in ${ALIAS_CSV}: '${row}'")
    endif()
    set(from "${CMAKE_MATCH_1}")
    set(to "${CMAKE_MATCH_2}")
    if(have_prev AND NOT from STRGREATER prev)
      message(FATAL_ERROR "aliases.cmake: '${from}' is out of byte order or repeated in ${ALIAS_CSV}")
    endif()
    set(prev "${from}")
    set(have_prev TRUE)
    string(APPEND body "  {\"${from}\", \"${to}\"},\n")
    math(EXPR count "${count} + 1")
  endforeach()
  string(APPEND body "};\nstatic const size_t vdr_ecs_alias_count = ${count};\n")
  file(WRITE "${ALIAS_OUT}.tmp" "${body}")
  file(COPY_FILE "${ALIAS_OUT}.tmp" "${ALIAS_OUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${ALIAS_OUT}.tmp")
  return()
endif()

set(VELDRA_ALIAS_CSV ${CMAKE_SOURCE_DIR}/data/ecs/aliases.csv)
set(VELDRA_ALIAS_INC ${CMAKE_BINARY_DIR}/generated/core/ecs_aliases.inc)
add_custom_command(
  OUTPUT ${VELDRA_ALIAS_INC}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated/core
  COMMAND ${CMAKE_COMMAND} -DALIAS_CSV=${VELDRA_ALIAS_CSV} -DALIAS_OUT=${VELDRA_ALIAS_INC}
          -P ${CMAKE_CURRENT_LIST_FILE}
  DEPENDS ${VELDRA_ALIAS_CSV} ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Generating the vendor-to-ECS alias table"
  VERBATIM)
target_sources(veldra_lib PRIVATE ${VELDRA_ALIAS_INC})
