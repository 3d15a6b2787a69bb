// System Board PPI: a table of 22 board routines published by the board module and called by
// the chipset initialization code. This module knows only its size and slot 15; every other byte
// is copied through unchanged.
#pragma once

#include <Pch/PchPolicy.h>
#include <Pch/PchSetup.h>
#include <Uefi/UefiTypes.h>

// Slot 15: applies the board's HSIO PTSS tuning to Policy, reading topology codes from Setup.
typedef VOID(EFIAPI *SYSTEM_BOARD_APPLY_PTSS_TABLES)(const PchSetup *Setup, PchPolicy *Policy);

#define SYSTEM_BOARD_PPI_SLOT_COUNT 22
#define SYSTEM_BOARD_PPI_APPLY_PTSS_SLOT 15

struct SystemBoardPpi {
  VOID *RoutinesBeforePtss[SYSTEM_BOARD_PPI_APPLY_PTSS_SLOT];
  SYSTEM_BOARD_APPLY_PTSS_TABLES ApplyPtssTables;
  VOID *RoutinesAfterPtss[SYSTEM_BOARD_PPI_SLOT_COUNT - SYSTEM_BOARD_PPI_APPLY_PTSS_SLOT - 1];
};
static_assert(sizeof(SystemBoardPpi) == 88);
static_assert(OFFSET_OF(SystemBoardPpi, ApplyPtssTables) == 60);

extern "C" const EFI_GUID gSystemBoardPpiGuid;
