// Every input the module can meet on one boot of the emulated board.
//
// A scenario is read from a TOML file (or the compiled-in default board). Each
// field has the default board's value until a file overrides it; the parser
// validates every key, type and range before anything runs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "guid.h"
#include "memory_map.h"

namespace peiboard {

struct PchConfig {
  uint16_t lpc_device_id = 0xA1C3;
  uint8_t lpc_revision_id = 0x04;
  uint32_t ecam_base = 0x80000000;  // 256 MiB window, must be 256 MiB aligned
  std::array<uint32_t, 4> lane_owner{0x00111111, 0x22220000, 0x22222222, 0x00000022};
  std::array<uint32_t, 5> rp_function_map{0x00003210, 0x00007654, 0x00003210, 0x00007654,
                                          0x00003210};
  std::array<uint32_t, 5> strap_fuse_cfg{};

  bool operator==(const PchConfig&) const = default;
};

struct PmcConfig {
  bool present = true;
  uint16_t acpi_base = 0;
  uint8_t acpi_control = 0;
  uint32_t pwrm_base = hw::kDefaultPwrmBase;  // value of configuration register 0x48
  bool dwr = false;                           // bit 15 at PWRM base + 0x12C

  bool operator==(const PmcConfig&) const = default;
};

struct HeciConfig {
  bool present = true;
  uint32_t mefs1 = 0x000F0005;
  uint32_t mefs2 = 0;

  bool operator==(const HeciConfig&) const = default;
};

struct PlatformInfoHobConfig {
  bool present = true;
  uint8_t board_id = 14;

  bool operator==(const PlatformInfoHobConfig&) const = default;
};

struct MeFwHobConfig {
  bool present = false;
  uint32_t fun_number = 0;
  uint32_t mefs1 = 0;

  bool operator==(const MeFwHobConfig&) const = default;
};

struct GuidHobConfig {
  Guid name{};                // EFI_GUID in its in-memory byte order
  std::vector<uint8_t> data;  // already padded with zeros to a multiple of 8
  // Header fields written in place of the true ones, for lists that break the PI contract:
  // none keeps HobType 0x0004 and HobLength 24 + data.
  std::optional<uint16_t> type;
  std::optional<uint16_t> length;

  bool operator==(const GuidHobConfig&) const = default;
};

struct HobListConfig {
  bool end = true;  // false: the list stops without its end-of-list HOB

  bool operator==(const HobListConfig&) const = default;
};

struct MeIccConfig {
  bool ppi_present = true;
  uint32_t status = 0;  // EFI_STATUS the HECI send returns
  uint32_t reply_command = 0x1A;
  uint32_t reply_response = 0;
  uint8_t clocking_mode = 0;
  uint32_t reply_length = 48;  // what the send writes back as the reply's length

  bool operator==(const MeIccConfig&) const = default;
};

struct SpiConfig {
  bool ppi_present = true;
  uint32_t status = 0;  // EFI_STATUS the soft-strap read returns
  uint32_t soft_strap = 0;

  bool operator==(const SpiConfig&) const = default;
};

struct McfgConfig {
  bool present = true;
  uint32_t length = 0;
  std::vector<uint64_t> bases;      // entry bases; the table holds max(8, bases.size()) entries
  std::optional<uint32_t> pointer;  // what the pointer get answers instead of the table

  bool operator==(const McfgConfig&) const = default;
};

struct PcdConfig {
  bool ppi_present = true;          // the PCD PPI is installed before the module is dispatched
  uint64_t pcie_base = 0x80000000;  // token 6
  McfgConfig mcfg;                  // token 7

  bool operator==(const PcdConfig&) const = default;
};

struct SetupConfig {
  std::array<uint8_t, 8> sata_topology{};
  std::array<uint8_t, 6> ssata_topology{};
  std::array<uint8_t, 20> pcie_topology{};

  bool operator==(const SetupConfig&) const = default;
};

struct PolicyConfig {
  std::array<std::array<uint32_t, 3>, 8> sata{};
  std::array<std::array<uint32_t, 3>, 6> ssata{};
  std::array<std::array<uint32_t, 4>, 20> pcie_rp{};
  std::array<std::array<uint32_t, 4>, 20> pcie_direct{};

  bool operator==(const PolicyConfig&) const = default;
};

// One HsioPtssEntry as a board engineer writes it in [ptss] entries.
struct PtssEntryConfig {
  uint8_t register_port = 0;
  uint8_t lane = 0;
  uint8_t lane_mode = 0;
  uint16_t register_offset = 0;
  uint32_t register_value = 0;
  uint32_t keep_mask = 0;
  uint16_t topology = 0;
  uint16_t board_id = 0;

  bool operator==(const PtssEntryConfig&) const = default;
};

struct PtssConfig {
  std::optional<std::vector<PtssEntryConfig>> entries;  // none: the built-in contents stay

  bool operator==(const PtssConfig&) const = default;
};

// What LocatePpi answers for one GUID instead of searching the PPI database.
struct LocateAnswer {
  Guid guid{};
  uint32_t status = 0;
  std::optional<uint32_t> interface;   // written through the interface output
  std::optional<uint32_t> descriptor;  // written through the descriptor output, when given

  bool operator==(const LocateAnswer&) const = default;
};

// When the stand-in board module installs the System Board PPI: after the module's entry point
// has returned (its notify is registered by then), or before the module is dispatched.
enum class SystemBoardOrder : uint8_t { kAfterEntry, kBeforeEntry };
const char* order_name(SystemBoardOrder order);  // "after-entry", "before-entry"

// The PEI foundation: the PPIs it holds before dispatch besides the platform's own, the
// dispatch order, and, for robustness work, answers of its services that break their
// contracts. Nothing set: the foundation answers as PI 1.x volume 1 defines its services.
struct FoundationConfig {
  SystemBoardOrder system_board_ppi = SystemBoardOrder::kAfterEntry;
  std::vector<Guid> other_ppis;      // installed before dispatch, each with an empty interface
  std::optional<uint32_t> hob_list;  // what GetHobList hands out
  std::optional<uint32_t> pool;      // what every AllocatePool hands out, with success
  std::vector<LocateAnswer> locate;  // the first answer naming a GUID wins

  bool operator==(const FoundationConfig&) const = default;
};

struct DebugConfig {
  bool ppi_present = true;
  bool halt_on_assert = false;

  bool operator==(const DebugConfig&) const = default;
};

// What `peiboard check` compares. Each member, when set, must equal the run's value.
struct ExpectConfig {
  std::optional<bool> dispatched;       // false: the dependency expression must not hold
  std::optional<int64_t> entry_status;  // -1 stands for null
  std::optional<std::vector<int64_t>> notify_statuses;
  std::optional<bool> slot15_called;
  std::optional<bool> fault;                         // true: the run must fault or hang
  std::vector<std::string> prints_contain;           // each must be a substring of the console
  std::vector<std::string> prints_absent;            // none may be a substring of the console
  std::optional<std::vector<int64_t>> assert_lines;  // the assertion lines, in order
  std::optional<std::array<std::array<uint32_t, 3>, 8>> sata;
  std::optional<std::array<std::array<uint32_t, 3>, 6>> ssata;
  std::optional<std::array<std::array<uint32_t, 4>, 20>> pcie_rp;
  std::optional<std::array<std::array<uint32_t, 4>, 20>> pcie_direct;
  std::optional<uint32_t> acpi_base;
  std::optional<uint32_t> acpi_control;
  bool any() const;

  bool operator==(const ExpectConfig&) const = default;
};

struct Scenario {
  std::string name = "default board";
  std::string source = "<default>";  // file the scenario came from
  PchConfig pch;
  PmcConfig pmc;
  HeciConfig heci;
  PlatformInfoHobConfig platform_info;
  MeFwHobConfig me_fw;
  std::vector<GuidHobConfig> guid_hobs;
  HobListConfig hob_list;
  MeIccConfig me_icc;
  SpiConfig spi;
  PcdConfig pcd;
  SetupConfig setup;
  PolicyConfig policy;
  PtssConfig ptss;
  DebugConfig debug;
  FoundationConfig foundation;
  ExpectConfig expect;

  bool operator==(const Scenario&) const = default;
};

}  // namespace peiboard
