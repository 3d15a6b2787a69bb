// Where the setup and policy records keep what the module reads and writes, as the firmware's
// own headers lay them out. Compiled by the firmware toolchain for IA32 to assembly only (never
// by the host, never linked): each OFFSET line leaves "->NAME VALUE" in the assembly, which
// cmake/record_offsets.cmake turns into the host header firmware_records.h.
#include <Pch/PchPolicy.h>
#include <Pch/PchSetup.h>

#define OFFSET(name, value) asm volatile("\n.ascii \"->" #name " %c0\"" : : "i"(value))

extern "C" void RecordOffsets() {
  OFFSET(kSataTopology, OFFSET_OF(PchSetup, SataTopology));
  OFFSET(kSSataTopology, OFFSET_OF(PchSetup, SSataTopology));
  OFFSET(kPcieTopology, OFFSET_OF(PchSetup, PcieTopology));
  OFFSET(kSata, OFFSET_OF(PchPolicy, SataPtssRecords));
  OFFSET(kSSata, OFFSET_OF(PchPolicy, SSataPtssRecords));
  OFFSET(kSataStride, sizeof(SataLanePtssRecord));
  OFFSET(kPcieRp, OFFSET_OF(PchPolicy, PcieRpPtssRecords));
  OFFSET(kPcieDirect, OFFSET_OF(PchPolicy, PcieDirectPtssRecords));
  OFFSET(kPcieStride, sizeof(PcieLanePtssRecord));
}
