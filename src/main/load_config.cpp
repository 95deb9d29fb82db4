// The image's load configuration, which the Windows loader reads to turn Control Flow Guard on:
// where the guard's check and dispatch pointers are, and the tables of valid call targets that
// lld writes when it links with --guard-cf. Microsoft's C runtime supplies this record as
// _load_config_used; MinGW-w64's runtime has the pointers but not the record, and without it
// lld sets the image's guard bit and writes no load configuration at all, so nothing is
// checked. Linked only by the toolchain that instruments (cmake/hardening-toolchain.cmake).
//
// The layout is IMAGE_LOAD_CONFIG_DIRECTORY64's, written out here because MinGW-w64's own
// declaration of it varies with its version; Size says how far the record goes, and the
// loader reads no field beyond it.

asm(R"(
  .section .rdata,"dr"
  .globl _load_config_used
  .balign 8
_load_config_used:
  .long _load_config_used_end - _load_config_used  # Size
  .long 0                       # TimeDateStamp
  .short 0, 0                   # MajorVersion, MinorVersion
  .long 0, 0, 0                 # GlobalFlagsClear, GlobalFlagsSet, CriticalSectionDefaultTimeout
  .quad 0, 0, 0, 0, 0, 0        # DeCommitFreeBlockThreshold .. ProcessAffinityMask
  .long 0                       # ProcessHeapFlags
  .short 0, 0                   # CSDVersion, DependentLoadFlags
  .quad 0                       # EditList
  .quad 0                       # SecurityCookie: the stack canary is src/main/stack_cookie.cpp's
  .quad 0, 0                    # SEHandlerTable, SEHandlerCount (32-bit images only)
  .quad __guard_check_icall_fptr
  .quad __guard_dispatch_icall_fptr
  .quad __guard_fids_table
  .quad __guard_fids_count
  .long __guard_flags
  .short 0, 0                   # CodeIntegrity: Flags, Catalog
  .long 0, 0                    # CodeIntegrity: CatalogOffset, Reserved
  .quad __guard_iat_table
  .quad __guard_iat_count
  .quad __guard_longjmp_table
  .quad __guard_longjmp_count
_load_config_used_end:
)");
