# Links the module's debug file: the same objects as the released image, compiled with DWARF,
# laid out at the released image's addresses, as an ELF copy that GDB and llvm-symbolizer read.
#
#   cmake -DLINK=lld-link -DLINK_FLAGS=<;-list> -DBASE=0xFFF00000 -DRELEASE=<image.efi>
#         -DOBJECTS=<;-list> -DRENAMES=<;-list of .debug_x=.dwx> -DOUT=<file.debug.elf>
#         -DOBJDUMP=objdump -DOBJCOPY=objcopy -DDEBUGIMAGE=<debugimage> -P link_debug_image.cmake
#
# The DWARF sections come in under short names (renamed in the objects) so that lld-link keeps
# them without /debug, which would add a debug directory to .rdata and move .data. They add
# section headers, which move every section up by the same amount: the second link lowers the
# base by that amount, so each section lands at its released address.
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGV}")
    message(FATAL_ERROR "${cmd}\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# The virtual address of .text in an image.
function(text_address image var)
  run(${OBJDUMP} -h ${image})
  if(NOT run_output MATCHES "\\.text +[0-9a-fA-F]+ +([0-9a-fA-F]+)")
    message(FATAL_ERROR "${image} has no .text section")
  endif()
  set(${var} "0x${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

set(probe ${OUT}.probe.efi)
set(image ${OUT}.efi)
run(${LINK} ${LINK_FLAGS} /debug:symtab /base:${BASE} /out:${probe} ${OBJECTS})
text_address(${RELEASE} release_text)
text_address(${probe} probe_text)
math(EXPR base "${BASE} - (${probe_text} - ${release_text})" OUTPUT_FORMAT HEXADECIMAL)
run(${LINK} ${LINK_FLAGS} /debug:symtab /base:${base} /out:${image} ${OBJECTS})
message(STATUS "${OUT}: linked at base ${base} so that .text lies at ${release_text}")
file(REMOVE ${probe})

set(renames)
foreach(pair IN LISTS RENAMES)
  string(REPLACE "=" ";" parts ${pair})
  list(GET parts 0 long)
  list(GET parts 1 short)
  # Back to their DWARF names, and no longer loaded: they describe the image, they are not in it.
  list(APPEND renames --rename-section ${short}=${long},contents,readonly,debug
       --change-section-address ${short}=0)
endforeach()
# .reloc lists pages by RVA, which differ between the two links; the debug file leaves it out.
# Written under a temporary name: a file that fails the comparison never looks up to date.
run(${OBJCOPY} -O elf32-i386 -R .reloc ${renames} ${image} ${OUT}.new)
run(${OBJCOPY} -O elf32-i386 ${RELEASE} ${OUT}.release.elf)
run(${DEBUGIMAGE} compare ${OUT}.release.elf ${OUT}.new)
string(STRIP "${run_output}" same)
message(STATUS "${OUT} and ${RELEASE}: ${same}")
file(RENAME ${OUT}.new ${OUT})
file(REMOVE ${OUT}.release.elf ${image})
