# Checks our OPC DA IDL with widl and the correction of widl's [out, string] parameter offsets
# (opc/widl_string_out_fix.cmake), the way the Windows build uses them:
#   - widl compiles opc/opcda.idl into a header and an -Oif proxy;
#   - the correction moves GetErrorString's ppString, GetState's ppName and GetItemID's szItemID
#     to the type entry of the pointer to the string, and LookupItemIDs' ppszNewItemIDs from the
#     string array to the pointer to its pointer, and changes nothing else;
#   - it fails on a proxy that needs no correction (a corrected widl) and on a parameter it was
#     not told about.
#
#   cmake -DWIDL=... -DSYSTEM_IDL=... -DIDL=... -DFIX=... -DWORK=... -P opcda_idl_test.cmake

set(expected "IOPCServer::GetErrorString/ppString,IOPCGroupStateMgt::GetState/ppName,\
IOPCBrowseServerAddressSpace::GetItemID/szItemID,IOPCItemProperties::LookupItemIDs/ppszNewItemIDs")

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/raw")

function(run_or_fail what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}${err}")
  endif()
endfunction()

function(must_fail what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc EQUAL 0)
    message(FATAL_ERROR "${what} succeeded but must fail:\n${out}${err}")
  endif()
endfunction()

# The type offset of one parameter of one procedure in a proxy source.
function(parameter_type_offset file procedure parameter out_var)
  file(READ "${file}" text)
  string(FIND "${text}" "(procedure ${procedure})" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "no procedure ${procedure} in ${file}")
  endif()
  string(SUBSTRING "${text}" ${at} -1 rest)
  string(REGEX MATCH "\\(parameter ${parameter}\\) \\*/\n[^\n]*\n[^\n]*\n[^\n]*type offset = ([0-9]+)"
    _ "${rest}")
  if(NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "no type offset for ${procedure}/${parameter} in ${file}")
  endif()
  set(${out_var} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

set(widl ${WIDL} --win64 -I${SYSTEM_IDL})
run_or_fail("widl header" ${widl} -h -o ${WORK}/opcda_idl.h ${IDL})
run_or_fail("widl proxy" ${widl} -p -Oif -H opcda_idl.h -o ${WORK}/raw/opcda_idl_p.c ${IDL})

run_or_fail("correction"
  ${CMAKE_COMMAND} -DIN=${WORK}/raw/opcda_idl_p.c -DOUT=${WORK}/opcda_idl_p.c
  -DEXPECTED=${expected} -P ${FIX})

file(READ "${WORK}/opcda_idl_p.c" fixed)
set(moves "")
# procedure, parameter, how far back the offset moves, the type of the entry it moves to
foreach(target IN ITEMS "IOPCServer::GetErrorString ppString 4 LPWSTR_*"
                        "IOPCGroupStateMgt::GetState ppName 4 LPWSTR_*"
                        "IOPCBrowseServerAddressSpace::GetItemID szItemID 4 LPWSTR_*"
                        "IOPCItemProperties::LookupItemIDs ppszNewItemIDs 8 LPWSTR_**")
  string(REPLACE " " ";" target "${target}")
  list(GET target 0 procedure)
  list(GET target 1 parameter)
  list(GET target 2 distance)
  list(GET target 3 type)
  string(REPLACE "_" " " type "${type}")
  parameter_type_offset("${WORK}/raw/opcda_idl_p.c" ${procedure} ${parameter} before)
  parameter_type_offset("${WORK}/opcda_idl_p.c" ${procedure} ${parameter} after)
  math(EXPR moved "${before} - ${after}")
  if(NOT moved EQUAL distance)
    message(FATAL_ERROR
      "${procedure}/${parameter}: offset ${before} became ${after}, not ${before}-${distance}")
  endif()
  list(APPEND moves "${procedure} ${parameter} ${before} ${after}")
  string(FIND "${fixed}" "/* ${after} (${type}) */" pointer_entry)
  if(pointer_entry EQUAL -1)
    message(FATAL_ERROR "${procedure}/${parameter}: offset ${after} is not the ${type} entry")
  endif()
endforeach()

# Nothing else changed: the raw proxy with just those offsets moved is the corrected one.
function(move_offset text_var procedure parameter before after)
  set(text "${${text_var}}")
  string(FIND "${text}" "(procedure ${procedure})" at_procedure)
  string(SUBSTRING "${text}" ${at_procedure} -1 rest)
  string(FIND "${rest}" "(parameter ${parameter})" at_parameter)
  math(EXPR split "${at_procedure} + ${at_parameter}")
  string(SUBSTRING "${text}" 0 ${split} head)
  string(SUBSTRING "${text}" ${split} -1 tail)
  math(EXPR before_hex "${before}" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR after_hex "${after}" OUTPUT_FORMAT HEXADECIMAL)
  set(old_line "NdrFcShort(${before_hex}),\t/* type offset = ${before} */")
  set(new_line "NdrFcShort(${after_hex}),\t/* type offset = ${after} */")
  string(FIND "${tail}" "${old_line}" at_line)
  if(at_line EQUAL -1)
    message(FATAL_ERROR "${procedure}/${parameter}: no line '${old_line}'")
  endif()
  string(LENGTH "${old_line}" old_length)
  string(SUBSTRING "${tail}" 0 ${at_line} tail_head)
  math(EXPR after_line "${at_line} + ${old_length}")
  string(SUBSTRING "${tail}" ${after_line} -1 tail_rest)
  set(${text_var} "${head}${tail_head}${new_line}${tail_rest}" PARENT_SCOPE)
endfunction()

file(READ "${WORK}/raw/opcda_idl_p.c" expected_text)
foreach(move IN LISTS moves)
  string(REPLACE " " ";" move "${move}")
  move_offset(expected_text ${move})
endforeach()
if(NOT expected_text STREQUAL fixed)
  message(FATAL_ERROR "the correction changed more than those type offsets")
endif()

must_fail("correction of an already correct proxy"
  ${CMAKE_COMMAND} -DIN=${WORK}/opcda_idl_p.c -DOUT=${WORK}/again_p.c
  -DEXPECTED=${expected} -P ${FIX})
must_fail("correction with an unlisted parameter"
  ${CMAKE_COMMAND} -DIN=${WORK}/raw/opcda_idl_p.c -DOUT=${WORK}/partial_p.c
  -DEXPECTED=IOPCServer::GetErrorString/ppString -P ${FIX})
if(EXISTS "${WORK}/again_p.c" OR EXISTS "${WORK}/partial_p.c")
  message(FATAL_ERROR "a failed correction left an output file behind")
endif()

message(STATUS "opcda.idl and the widl correction: all checks passed")
