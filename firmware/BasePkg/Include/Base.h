// Base types and compiler glue for the module: 32-bit x86, freestanding, no runtime.
#pragma once

typedef unsigned char UINT8;
typedef unsigned short UINT16;
typedef unsigned int UINT32;
typedef unsigned long long UINT64;
typedef signed char INT8;
typedef short INT16;
typedef int INT32;
typedef long long INT64;
typedef UINT32 UINTN;
typedef INT32 INTN;
typedef UINT8 BOOLEAN;
typedef char CHAR8;
typedef void VOID;

static_assert(sizeof(UINT8) == 1 && sizeof(UINT16) == 2 && sizeof(UINT32) == 4);
static_assert(sizeof(UINT64) == 8 && sizeof(BOOLEAN) == 1);
static_assert(sizeof(UINTN) == sizeof(VOID *), "native integers are pointer sized");

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)
#define NULL nullptr

// Every routine of the module, and every routine it calls through a PI table, uses the IA32 C
// calling convention: arguments on the stack right to left, caller cleans up, results in EAX
// (EDX:EAX for 64-bit values).
#define EFIAPI __cdecl

#define OFFSET_OF(Type, Field) __builtin_offsetof(Type, Field)
#define BIT(Number) (1u << (Number))
#define SIGNATURE_32(A, B, C, D) \
  ((UINT32)(A) | ((UINT32)(B) << 8) | ((UINT32)(C) << 16) | ((UINT32)(D) << 24))

// Variable arguments. On IA32 a VA_LIST is a plain pointer to the first variable argument on the
// caller's stack, which is also how the debug-services PPI receives it.
typedef __builtin_va_list VA_LIST;
#define VA_START(Marker, Parameter) __builtin_va_start(Marker, Parameter)
#define VA_ARG(Marker, Type) __builtin_va_arg(Marker, Type)
#define VA_END(Marker) __builtin_va_end(Marker)
static_assert(sizeof(VA_LIST) == sizeof(VOID *), "VA_LIST is a stack pointer on IA32");

// Scalars that may sit at any address (byte-packed records, tables handed in by other modules).
// The processor handles misaligned loads and stores; these types tell the compiler so.
typedef UINT16 UNALIGNED_UINT16 __attribute__((aligned(1)));
typedef UINT32 UNALIGNED_UINT32 __attribute__((aligned(1)));
typedef UINT64 UNALIGNED_UINT64 __attribute__((aligned(1)));
