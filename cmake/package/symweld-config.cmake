# find_package(symweld): the welding tool as the imported executable
# symweld::symweld, and symweld_add_fasm_object(), which assembles one Fasm
# source into an object with CodeView debug information.
#
#   find_package(symweld 1.0 REQUIRED)
#   symweld_add_fasm_object(MAIN_OBJ src/main.asm INCLUDE src/include)
#   add_custom_target(app ALL DEPENDS ${MAIN_OBJ})   # or any target's sources
#
# symweld_add_fasm_object(<variable> <source>
#                         [OUTPUT <object>]       default: <binary dir>/<name>.obj
#                         [INCLUDE <folder>...]   fasm's include folders
#                         [OPTIONS <option>...]   options of this weld
#                         [FASM <program>])       default: fasm found on PATH
# sets <variable> to the object's full path; <name> is the source's name
# without its last extension. One custom command runs
# `fasm <source> <object> -s <object>.fas` and
# `symweld ${SYMWELD_OPTIONS} <OPTIONS> --depfile=<object>.d <object>.fas <object>`;
# SYMWELD_OPTIONS, as set where the function is called, holds options for
# every object. The DEPFILE names the ".fas", the source and the include
# files fasm read (not files pulled in as raw bytes with `file`: the ".fas"
# does not name them), so that an edited include rebuilds exactly the
# objects that read it (Ninja, and Makefile generators with CMake 3.20 or
# later). Two objects with one output name are refused here, at configure
# time.

# The dependency file names the object, the ".fas" and the files fasm read
# by full paths; CMake hands them to Ninja relative to the build folder, as
# Ninja expects, under this policy (CMake 3.20 and later).
if(POLICY CMP0116)
  cmake_policy(SET CMP0116 NEW)
endif()

get_filename_component(_symweld_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET symweld::symweld)
  add_executable(symweld::symweld IMPORTED)
  set_target_properties(symweld::symweld PROPERTIES IMPORTED_LOCATION "${_symweld_prefix}/bin/symweld")
endif()
unset(_symweld_prefix)

# Every file an object's command writes, with the source it is made from:
# two objects that would write one file are refused.
function(_symweld_claim_files source)
  foreach(file IN LISTS ARGN)
    get_property(owner GLOBAL PROPERTY "_symweld_file:${file}")
    if(DEFINED owner)
      message(FATAL_ERROR "symweld_add_fasm_object: ${source} and ${owner} both make ${file}; "
                          "give one of them another OUTPUT")
    endif()
  endforeach()
  foreach(file IN LISTS ARGN)
    set_property(GLOBAL PROPERTY "_symweld_file:${file}" "${source}")
  endforeach()
endfunction()

function(symweld_add_fasm_object variable source)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "OUTPUT;FASM" "INCLUDE;OPTIONS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "symweld_add_fasm_object: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  get_filename_component(source "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  if(arg_OUTPUT)
    get_filename_component(object "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  else()
    get_filename_component(name "${source}" NAME_WLE)
    set(object "${CMAKE_CURRENT_BINARY_DIR}/${name}.obj")
  endif()
  # The ".fas" and the dependency file take the object's whole name, so
  # objects with different names never share them.
  get_filename_component(folder "${object}" DIRECTORY)
  get_filename_component(name "${object}" NAME)
  set(fas "${object}.fas")
  set(depfile "${object}.d")
  _symweld_claim_files("${source}" "${object}" "${fas}" "${depfile}")
  if(arg_FASM)
    set(fasm "${arg_FASM}")
  else()
    find_program(SYMWELD_FASM_EXECUTABLE fasm)
    if(NOT SYMWELD_FASM_EXECUTABLE)
      message(FATAL_ERROR "symweld_add_fasm_object: fasm not found; give FASM <program>")
    endif()
    set(fasm "${SYMWELD_FASM_EXECUTABLE}")
  endif()
  # fasm takes its include folders from the INCLUDE variable, ';' apart.
  set(environment "")
  if(arg_INCLUDE)
    set(folders "")
    foreach(include IN LISTS arg_INCLUDE)
      get_filename_component(include "${include}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      list(APPEND folders "${include}")
    endforeach()
    list(JOIN folders "$<SEMICOLON>" folders)
    set(environment "INCLUDE=${folders}")
  endif()
  # The output folder is made by the build, so that a build after the
  # folder was removed works with every generator.
  add_custom_command(OUTPUT "${object}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${folder}"
    COMMAND ${CMAKE_COMMAND} -E env ${environment} "${fasm}" "${source}" "${object}" -s "${fas}"
    COMMAND symweld::symweld ${SYMWELD_OPTIONS} ${arg_OPTIONS} "--depfile=${depfile}" "${fas}" "${object}"
    MAIN_DEPENDENCY "${source}"
    DEPENDS symweld::symweld
    DEPFILE "${depfile}"
    COMMENT "Assembling ${name} with debug information"
    VERBATIM)
  set(${variable} "${object}" PARENT_SCOPE)
endfunction()
