# Corrects the parameter type offsets that widl 7 and 8 get wrong in -Oif proxies, then writes the
# corrected proxy source.
#
#   cmake -DIN=<widl's _p.c> -DOUT=<corrected _p.c> -DEXPECTED=<Iface::Method/param,...> -P this
#
# The fault: for an [out] parameter whose type is a pointer to a pointer (`[out, string] LPWSTR*`),
# the type format string holds the top-level reference pointer
#     /* N-4 (LPWSTR *) */ 0x11, 0x14, /* FC_RP [allocated_on_stack] [pointer_deref] */
#                          NdrFcShort(0x2), /* Offset= 2 (N) */
#     /* N (LPWSTR) */     0x13, 0x8, /* FC_OP [simple_pointer] */ ...
# but the parameter's entry in the procedure format string names offset N, the pointee, instead of
# N-4. The stub and the proxy then marshal the string as if the parameter were the string pointer
# itself: the call succeeds and the caller receives NULL. The step moves such a parameter's type
# offset back to the reference pointer.
#
# The same fault in a second shape, for an [out, string, size_is(,n)] LPWSTR** (an array of
# strings, as IOPCItemProperties::LookupItemIDs returns):
#     /* N-4 (LPWSTR **) */ 0x11, 0x14, /* FC_RP [allocated_on_stack] [pointer_deref] */
#                           NdrFcShort(0x2), /* Offset= 2 (N) */
#     /* N (LPWSTR *) */    0x13, 0x0, /* FC_OP */ NdrFcShort(0x2),
#     /* N+4 (LPWSTR *) */  0x21, /* FC_BOGUS_ARRAY */ ...
# where the parameter names N+4, the array, instead of N-4: it is moved back to N-4 as well.
#
# EXPECTED lists every parameter the step must correct. Anything else fails the build: no such
# parameter found (a corrected widl, or a changed output format) or one not listed (a new method
# with the same shape: check it and add it to the list in opc/CMakeLists.txt).

foreach(var IN ITEMS IN OUT EXPECTED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "widl_string_out_fix: ${var} is not set")
  endif()
endforeach()

file(READ "${IN}" text)

string(FIND "${text}" "__MIDL_ProcFormatString =" proc_start)
string(FIND "${text}" "__MIDL_TypeFormatString =" type_start)
if(proc_start EQUAL -1 OR type_start EQUAL -1 OR type_start LESS proc_start)
  message(FATAL_ERROR "widl_string_out_fix: ${IN} has no procedure and type format strings "
                      "in the expected order; widl's output format has changed")
endif()
math(EXPR proc_length "${type_start} - ${proc_start}")
string(SUBSTRING "${text}" ${proc_start} ${proc_length} proc_text)
string(SUBSTRING "${text}" ${type_start} -1 type_text)

# Offsets of pointees that sit right behind a pointer_deref reference pointer: N -> N-4.
set(ws "[ \t]*")
string(REGEX MATCHALL
  "/\\* [0-9]+ \\([^\n]*\\) \\*/\n${ws}0x11, 0x14,[^\n]*\n${ws}NdrFcShort\\(0x2\\),${ws}/\\* Offset= 2 \\([0-9]+\\) \\*/"
  deref_pointers "${type_text}")
set(pointee_offsets "")  # offsets a faulty parameter names
set(pointer_offsets "")  # the reference pointer each should name, in the same order
foreach(entry IN LISTS deref_pointers)
  string(REGEX MATCH "^/\\* ([0-9]+) " _ "${entry}")
  set(pointer_offset ${CMAKE_MATCH_1})
  string(REGEX MATCH "Offset= 2 \\(([0-9]+)\\)" _ "${entry}")
  set(pointee_offset ${CMAKE_MATCH_1})
  math(EXPR check "${pointee_offset} - ${pointer_offset}")
  if(NOT check EQUAL 4)
    message(FATAL_ERROR "widl_string_out_fix: unexpected layout at type offset ${pointer_offset}")
  endif()
  list(APPEND pointee_offsets ${pointee_offset})
  list(APPEND pointer_offsets ${pointer_offset})
  # The second shape: a unique pointer with offset 2 right behind it, then the string array.
  math(EXPR array_offset "${pointee_offset} + 4")
  if(type_text MATCHES "/\\* ${pointee_offset} \\([^\n]*\\) \\*/\n${ws}0x13, 0x0,[^\n]*\n${ws}NdrFcShort\\(0x2\\),[^\n]*\n/\\* ${array_offset} ")
    list(APPEND pointee_offsets ${array_offset})
    list(APPEND pointer_offsets ${pointer_offset})
  endif()
endforeach()

# Walk the procedure format string: procedure headers and parameters, in order.
string(REGEX MATCHALL
  "/\\* [0-9]+ \\((procedure|parameter) [^)\n]*\\) \\*/(\n${ws}NdrFcShort\\(0x[0-9a-f]+\\),${ws}/\\* flags: [^\n]*\\*/\n${ws}NdrFcShort\\(0x[0-9a-f]+\\),${ws}/\\* stack offset = [0-9]+ \\*/\n${ws}NdrFcShort\\(0x[0-9a-f]+\\),${ws}/\\* type offset = [0-9]+ \\*/)?"
  entries "${proc_text}")

set(fixed "")
set(procedure "")
foreach(entry IN LISTS entries)
  if(entry MATCHES "^/\\* [0-9]+ \\(procedure ([^)\n]*)\\)")
    set(procedure "${CMAKE_MATCH_1}")
    continue()
  endif()
  if(NOT entry MATCHES "^/\\* [0-9]+ \\(parameter ([A-Za-z0-9_]+)\\)")
    continue()
  endif()
  set(parameter "${CMAKE_MATCH_1}")
  if(NOT entry MATCHES "/\\* flags:[^\n]* out[, ]")
    continue()
  endif()
  if(NOT entry MATCHES "NdrFcShort\\(0x([0-9a-f]+)\\),${ws}/\\* type offset = ([0-9]+) \\*/")
    continue()
  endif()
  set(type_offset ${CMAKE_MATCH_2})
  list(FIND pointee_offsets ${type_offset} index)
  if(index EQUAL -1)
    continue()
  endif()

  list(GET pointer_offsets ${index} right_offset)
  math(EXPR right_hex "${right_offset}" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE "^0x" "" right_hex "${right_hex}")
  string(REGEX REPLACE
    "NdrFcShort\\(0x[0-9a-f]+\\),(${ws})/\\* type offset = [0-9]+ \\*/"
    "NdrFcShort(0x${right_hex}),\\1/* type offset = ${right_offset} */"
    corrected "${entry}")
  string(REPLACE "${entry}" "${corrected}" text "${text}")
  list(APPEND fixed "${procedure}/${parameter}")
  message(STATUS "widl_string_out_fix: ${procedure}/${parameter}: type offset "
                 "${type_offset} -> ${right_offset}")
endforeach()

string(REPLACE "," ";" expected "${EXPECTED}")
list(SORT expected)
list(SORT fixed)
if(NOT "${fixed}" STREQUAL "${expected}")
  message(FATAL_ERROR
    "widl_string_out_fix: expected to correct [${expected}] but found [${fixed}] in ${IN}.\n"
    "If widl no longer has the fault, drop this step; if a new [out] pointer-to-pointer "
    "parameter appeared, check its offset and list it.")
endif()

file(WRITE "${OUT}.tmp" "${text}")
file(RENAME "${OUT}.tmp" "${OUT}")
