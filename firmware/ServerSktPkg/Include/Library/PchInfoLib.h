// PCH identification: stepping, series and port counts, from the LPC bridge's identity.
#pragma once

#include <Base.h>

typedef UINT32 PchStepping;
typedef UINT32 PchSeries;

// Steppings are numbered per group from the group's first supported stepping: PchH from
// PchHA0, PchLp from PchLpB0, PchSrv from PchSrvA0 (six steppings, the ones with PTSS tables).
enum : UINT32 {
  PchHA0 = 0x00,
  PchLpB0 = 0x23,
  PchSrvA0 = 0x30,
  PchSteppingMax = 0x36,  // no supported stepping
};

enum : UINT32 {
  PchH = 1,
  PchLp = 2,
  PchUnknownSeries = 3,
};

extern "C" {

// Identity caches; they hold the sentinel until a supported answer is found.
extern PchStepping CachedPchStepping;
extern PchSeries CachedPchSeries;

// The stepping; PchSteppingMax when the device id or revision id is not supported.
PchStepping EFIAPI GetPchStepping();

// PchH for the server device ids, PchLp for the LP ids, PchUnknownSeries otherwise.
PchSeries EFIAPI GetPchSeries();

// Ports by series: 20/8/6 on H, 12/3/6 on LP, 0/0/6 otherwise.
UINT8 EFIAPI GetPchPcieRpCount();
UINT8 EFIAPI GetPchSataPortCount();
UINT8 EFIAPI GetPchSecondarySataPortCount();

// Device-id groups.
BOOLEAN EFIAPI IsPchHDeviceId(UINT16 DeviceId);
BOOLEAN EFIAPI IsPchLpDeviceId(UINT16 DeviceId);
BOOLEAN EFIAPI IsPchSrvDeviceId(UINT16 DeviceId);

}  // extern "C"
