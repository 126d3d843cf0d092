// The image's load configuration. The mingw-w64 runtime brings none, so the
// launcher defines its own: it carries the Control Flow Guard tables that lld
// synthesizes, and restricts the loader's search for the image's dependent
// DLLs to the system directory.
#include <stddef.h>
#include <stdint.h>

#include <windows.h>

// Synthesized by the linker for /guard:cf images; their addresses are the values.
extern const void* __guard_fids_table;
extern const BYTE __guard_fids_count;
extern const BYTE __guard_flags;
extern const void* __guard_iat_table;
extern const BYTE __guard_iat_count;
extern const void* __guard_longjmp_table;
extern const BYTE __guard_longjmp_count;

// The check the compiler calls before every indirect call. The platform
// replaces the pointer with its own check when it enables the guard; until
// then (and where it never does) calls are let through.
static void __fastcall NoGuardCheck(uintptr_t target) { (void)target; }
__attribute__((section(".00cfg"), used)) void(__fastcall* __guard_check_icall_fptr)(uintptr_t) = NoGuardCheck;

// The full 32-bit layout; the runtime's own header stops early.
typedef struct LoadConfigDirectory32 {
  DWORD Size;
  DWORD TimeDateStamp;
  WORD MajorVersion;
  WORD MinorVersion;
  DWORD GlobalFlagsClear;
  DWORD GlobalFlagsSet;
  DWORD CriticalSectionDefaultTimeout;
  DWORD DeCommitFreeBlockThreshold;
  DWORD DeCommitTotalFreeThreshold;
  DWORD LockPrefixTable;
  DWORD MaximumAllocationSize;
  DWORD VirtualMemoryThreshold;
  DWORD ProcessHeapFlags;
  DWORD ProcessAffinityMask;
  WORD CSDVersion;
  WORD DependentLoadFlags;
  DWORD EditList;
  DWORD SecurityCookie;
  DWORD SEHandlerTable;
  DWORD SEHandlerCount;
  DWORD GuardCFCheckFunctionPointer;
  DWORD GuardCFDispatchFunctionPointer;
  DWORD GuardCFFunctionTable;
  DWORD GuardCFFunctionCount;
  DWORD GuardFlags;
  BYTE CodeIntegrity[12];
  DWORD GuardAddressTakenIatEntryTable;
  DWORD GuardAddressTakenIatEntryCount;
  DWORD GuardLongJumpTargetTable;
  DWORD GuardLongJumpTargetCount;
  DWORD DynamicValueRelocTable;
  DWORD CHPEMetadataPointer;
  DWORD GuardRFFailureRoutine;
  DWORD GuardRFFailureRoutineFunctionPointer;
  DWORD DynamicValueRelocTableOffset;
  WORD DynamicValueRelocTableSection;
  WORD Reserved2;
  DWORD GuardRFVerifyStackPointerFunctionPointer;
  DWORD HotPatchTableOffset;
  DWORD Reserved3;
  DWORD EnclaveConfigurationPointer;
  DWORD VolatileMetadataPointer;
  DWORD GuardEHContinuationTable;
  DWORD GuardEHContinuationCount;
  DWORD GuardXFGCheckFunctionPointer;
  DWORD GuardXFGDispatchFunctionPointer;
  DWORD GuardXFGTableDispatchFunctionPointer;
  DWORD CastGuardOsDeterminedFailureMode;
  DWORD GuardMemcpyFunctionPointer;
} LoadConfigDirectory32;
_Static_assert(sizeof(LoadConfigDirectory32) == 192, "layout");
_Static_assert(offsetof(LoadConfigDirectory32, DependentLoadFlags) == 54, "layout");
_Static_assert(offsetof(LoadConfigDirectory32, GuardCFCheckFunctionPointer) == 72, "layout");
_Static_assert(offsetof(LoadConfigDirectory32, GuardFlags) == 88, "layout");
_Static_assert(offsetof(LoadConfigDirectory32, GuardLongJumpTargetCount) == 116, "layout");

#define VANTOR_ADDRESS(symbol) ((DWORD)(uintptr_t)&(symbol))

// The linker finds the directory by this name.
extern const LoadConfigDirectory32 _load_config_used;
const LoadConfigDirectory32 _load_config_used = {
    .Size = sizeof(LoadConfigDirectory32),
    .DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32,
    .GuardCFCheckFunctionPointer = VANTOR_ADDRESS(__guard_check_icall_fptr),
    .GuardCFFunctionTable = VANTOR_ADDRESS(__guard_fids_table),
    .GuardCFFunctionCount = VANTOR_ADDRESS(__guard_fids_count),
    .GuardFlags = VANTOR_ADDRESS(__guard_flags),
    .GuardAddressTakenIatEntryTable = VANTOR_ADDRESS(__guard_iat_table),
    .GuardAddressTakenIatEntryCount = VANTOR_ADDRESS(__guard_iat_count),
    .GuardLongJumpTargetTable = VANTOR_ADDRESS(__guard_longjmp_table),
    .GuardLongJumpTargetCount = VANTOR_ADDRESS(__guard_longjmp_count),
};
