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
#                         [FASM <program>])       a name on PATH or a path;
#                                                 default: fasm found on PATH
# sets <variable> to the object's full path; <name> is the source's name
# without its last extension. One custom command runs
# `fasm <source> <object> -s <object>.fas` and
# `symweld ${SYMWELD_OPTIONS} <OPTIONS> --depfile=<object>.d <object>.fas <object>`;
# SYMWELD_OPTIONS, as set where the function is called, holds options for
# every object. The DEPFILE names the ".fas", the source and the include
# files fasm read (not files pulled in as raw bytes with `file`: the ".fas"
# does not name them), so that an edited include rebuilds exactly the
# objects that read it (Ninja, and Makefile generators with CMake 3.20 or
# later). Two objects with one output name (symbolic links resolved), an
# output over a source, and names with ';' are refused here, at configure
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

# A full path with the symbolic links of its existing folders resolved:
# two spellings of one file give one name, before the build made it.
function(_symweld_real_path path variable)
  set(rest "")
  while(NOT EXISTS "${path}")
    get_filename_component(name "${path}" NAME)
    get_filename_component(path "${path}" DIRECTORY)
    set(rest "/${name}${rest}")
  endwhile()
  get_filename_component(path "${path}" REALPATH)
  string(REGEX REPLACE "/$" "" path "${path}")
  set(${variable} "${path}${rest}" PARENT_SCOPE)
endfunction()

# Every file an object's command writes, with the source it is made from,
# and every source read: two objects that would write one file, or an
# object that would write over a source, are refused.
function(_symweld_claim_files source)
  _symweld_real_path("${source}" real_source)
  get_property(writer GLOBAL PROPERTY "_symweld_file:${real_source}")
  if(DEFINED writer)
    message(FATAL_ERROR "symweld_add_fasm_object: ${writer} would write over the source ${source}; "
                        "give it another OUTPUT")
  endif()
  set_property(GLOBAL PROPERTY "_symweld_source:${real_source}" "${source}")
  set(claimed "")
  foreach(file IN LISTS ARGN)
    _symweld_real_path("${file}" real)
    get_property(owner GLOBAL PROPERTY "_symweld_file:${real}")
    if(DEFINED owner)
      message(FATAL_ERROR "symweld_add_fasm_object: ${source} and ${owner} both make ${file}; "
                          "give one of them another OUTPUT")
    endif()
    get_property(read GLOBAL PROPERTY "_symweld_source:${real}")
    if(DEFINED read)
      message(FATAL_ERROR "symweld_add_fasm_object: ${source} would write over the source ${read}; "
                          "give it another OUTPUT")
    endif()
    list(APPEND claimed "${real}")
  endforeach()
  foreach(real IN LISTS claimed)
    set_property(GLOBAL PROPERTY "_symweld_file:${real}" "${source}")
  endforeach()
endfunction()

function(symweld_add_fasm_object variable source)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "OUTPUT;FASM" "INCLUDE;OPTIONS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "symweld_add_fasm_object: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  # A ';' splits a CMake list: such a name would reach the build in pieces.
  foreach(name IN ITEMS "${source}" "${arg_OUTPUT}" "${CMAKE_CURRENT_SOURCE_DIR}" "${CMAKE_CURRENT_BINARY_DIR}")
    if(name MATCHES ";")
      message(FATAL_ERROR "symweld_add_fasm_object: a name with ';' cannot be used: ${name}")
    endif()
  endforeach()
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
  if(arg_FASM MATCHES "/")
    # A path, taken from the source folder as the other names are.
    get_filename_component(fasm "${arg_FASM}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  elseif(arg_FASM)
    set(fasm "${arg_FASM}")  # a program's name, found on the PATH
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
