// The 64-bit image's load configuration. As for 32-bit images, the mingw-w64
// runtime brings none: this one carries the Control Flow Guard tables that lld
// synthesizes and restricts the loader's search for the image's dependent DLLs
// to the system directory.
//
// The directory is laid out in assembly: the guard counts and flags are
// absolute symbols whose addresses are the values, and a C initializer cannot
// hold such an address as a 64-bit constant.
#include <stdint.h>

// The check and the dispatch the compiler calls around indirect calls. The
// platform replaces both pointers with its own when it enables the guard;
// until then (and where it never does) calls are let through: the check does
// nothing, the dispatch jumps to the target the caller left in rax.
static void NoGuardCheck(uintptr_t target) { (void)target; }
__attribute__((section(".00cfg"), used)) void (*__guard_check_icall_fptr)(uintptr_t) = NoGuardCheck;

__asm__(
    ".text\n"
    ".p2align 4\n"
    "vantor_guard_dispatch:\n"
    "  jmp *%rax\n"
    ".section .00cfg,\"dr\"\n"
    ".globl __guard_dispatch_icall_fptr\n"
    ".p2align 3\n"
    "__guard_dispatch_icall_fptr:\n"
    "  .quad vantor_guard_dispatch\n");

// IMAGE_LOAD_CONFIG_DIRECTORY64, 320 bytes; offsets in the comments.
__asm__(
    ".section .rdata,\"dr\"\n"
    ".globl _load_config_used\n"
    ".p2align 3\n"
    "_load_config_used:\n"
    "  .long 320\n"                              // 0 Size
    "  .long 0\n"                                // 4 TimeDateStamp
    "  .short 0, 0\n"                            // 8 MajorVersion, MinorVersion
    "  .long 0, 0, 0\n"                          // 12 GlobalFlagsClear, GlobalFlagsSet, CriticalSectionDefaultTimeout
    "  .quad 0, 0, 0, 0, 0, 0\n"                 // 24 DeCommit*, LockPrefixTable, MaximumAllocationSize,
                                                 //    VirtualMemoryThreshold, ProcessAffinityMask
    "  .long 0\n"                                // 72 ProcessHeapFlags
    "  .short 0\n"                               // 76 CSDVersion
    "  .short 0x800\n"                           // 78 DependentLoadFlags: LOAD_LIBRARY_SEARCH_SYSTEM32
    "  .quad 0, 0, 0, 0\n"                       // 80 EditList, SecurityCookie, SEHandlerTable, SEHandlerCount
    "  .quad __guard_check_icall_fptr\n"         // 112 GuardCFCheckFunctionPointer
    "  .quad __guard_dispatch_icall_fptr\n"      // 120 GuardCFDispatchFunctionPointer
    "  .quad __guard_fids_table\n"               // 128 GuardCFFunctionTable
    "  .quad __guard_fids_count\n"               // 136 GuardCFFunctionCount
    "  .long __guard_flags\n"                    // 144 GuardFlags
    "  .zero 12\n"                               // 148 CodeIntegrity
    "  .quad __guard_iat_table\n"                // 160 GuardAddressTakenIatEntryTable
    "  .quad __guard_iat_count\n"                // 168 GuardAddressTakenIatEntryCount
    "  .quad __guard_longjmp_table\n"            // 176 GuardLongJumpTargetTable
    "  .quad __guard_longjmp_count\n"            // 184 GuardLongJumpTargetCount
    "  .zero 320 - 192\n");                      // 192 the rest, unused
