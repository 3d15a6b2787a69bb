# cmake -DASM=<assembly> -DHEADER=<header> -P record_offsets.cmake
# Turns the "->NAME VALUE" lines that emulator/firmware_records.cpp leaves in its IA32 assembly
# into constants of a host header, so the host reads the firmware's record layout from the
# firmware's own headers.
file(STRINGS ${ASM} lines REGEX "->[A-Za-z0-9_]+ [0-9]+")
set(body "")
foreach(line IN LISTS lines)
  string(REGEX MATCH "->([A-Za-z0-9_]+) ([0-9]+)" found "${line}")
  string(APPEND body "inline constexpr uint32_t ${CMAKE_MATCH_1} = ${CMAKE_MATCH_2};\n")
endforeach()
if(body STREQUAL "")
  message(FATAL_ERROR "${ASM} holds no record offsets")
endif()
set(text "// Generated from the firmware headers by emulator/firmware_records.cpp; do not edit.
// Where the setup and policy records keep what the module reads and writes.
#pragma once

#include <cstdint>

namespace peiboard::records {
${body}}  // namespace peiboard::records
")
file(WRITE ${HEADER} "${text}")
