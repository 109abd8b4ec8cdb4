# ECS field catalogue, generated at build time from data/ecs/fields.csv.
#
# This file has two roles. Included by the top-level CMakeLists.txt it adds a
# custom command that writes ${CMAKE_BINARY_DIR}/generated/core/ecs_fields.inc
# and makes the library depend on it. Run in script mode
# (cmake -DECS_CSV=... -DECS_OUT=... -P ecs.cmake) it does the generation:
# it reads the "name,level" rows, sorts them byte-wise and writes a C++ table
# of { "name", core } rows for the binary search in src/core/ecs.cpp.

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_policy(VERSION 3.25)
  file(STRINGS "${ECS_CSV}" ecs_rows ENCODING UTF-8)
  set(ecs_entries "")
  set(ecs_header_seen FALSE)
  foreach(row IN LISTS ecs_rows)
    string(STRIP "${row}" row)
    if(row STREQUAL "")
      continue()
    endif()
    if(NOT ecs_header_seen)
      set(ecs_header_seen TRUE)
      if(row STREQUAL "name,level")
        continue()
      endif()
    endif()
    if(NOT row MATCHES "^([@a-z0-9_.]+),(core|extended)$")
      message(FATAL_ERROR "ecs.cmake: malformed row in ${ECS_CSV}: '${row}'")
    endif()
    set(lvl 0)
    if(CMAKE_MATCH_2 STREQUAL "core")
      set(lvl 1)
    endif()
    # A blank separates name and level: it sorts before every name character,
    # so a name that is a prefix of another still comes first.
    list(APPEND ecs_entries "${CMAKE_MATCH_1} ${lvl}")
  endforeach()
  list(SORT ecs_entries COMPARE STRING)
  list(LENGTH ecs_entries ecs_count)
  set(body "// Generated from data/ecs/fields.csv by cmake/ecs.cmake; do not edit.\n")
  string(APPEND body "static const vdr_ecs_field_ent vdr_ecs_field_table[] = {\n")
  set(prev "")
  foreach(e IN LISTS ecs_entries)
    string(REPLACE " " ";" parts "${e}")
    list(GET parts 0 name)
    list(GET parts 1 lvl)
    if(name STREQUAL prev)
      message(FATAL_ERROR "ecs.cmake: duplicate field '${name}' in ${ECS_CSV}")
    endif()
    set(prev "${name}")
    string(APPEND body "  {\"${name}\", ${lvl}},\n")
  endforeach()
  string(APPEND body "};\nstatic const size_t vdr_ecs_field_count = ${ecs_count};\n")
  file(WRITE "${ECS_OUT}.tmp" "${body}")
  file(COPY_FILE "${ECS_OUT}.tmp" "${ECS_OUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${ECS_OUT}.tmp")
  return()
endif()

set(VELDRA_ECS_CSV ${CMAKE_SOURCE_DIR}/data/ecs/fields.csv)
set(VELDRA_ECS_INC ${CMAKE_BINARY_DIR}/generated/core/ecs_fields.inc)
add_custom_command(
  OUTPUT ${VELDRA_ECS_INC}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated/core
  COMMAND ${CMAKE_COMMAND} -DECS_CSV=${VELDRA_ECS_CSV} -DECS_OUT=${VELDRA_ECS_INC}
          -P ${CMAKE_CURRENT_LIST_FILE}
  DEPENDS ${VELDRA_ECS_CSV} ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Generating the ECS field catalogue"
  VERBATIM)
target_sources(veldra_lib PRIVATE ${VELDRA_ECS_INC})
