// The EFI status codes and PPI descriptor flags the foundation and the stand-in PPIs answer
// and read, as the 32-bit guest sees them.
#pragma once

#include <cstdint>

namespace peiboard::efi {

inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kInvalidParameter = 0x80000002;
inline constexpr uint32_t kUnsupported = 0x80000003;
inline constexpr uint32_t kNotReady = 0x80000006;
inline constexpr uint32_t kDeviceError = 0x80000007;
inline constexpr uint32_t kOutOfResources = 0x80000009;
inline constexpr uint32_t kNotFound = 0x8000000E;
inline constexpr uint32_t kPpiFlagPpi = 0x00000010;
inline constexpr uint32_t kPpiFlagNotifyCallback = 0x00000020;
inline constexpr uint32_t kPpiFlagNotifyDispatch = 0x00000040;
inline constexpr uint32_t kPpiFlagNotifyTypes = kPpiFlagNotifyCallback | kPpiFlagNotifyDispatch;
inline constexpr uint32_t kPpiFlagTerminate = 0x80000000;

}  // namespace peiboard::efi
