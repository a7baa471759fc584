// The stock runner that the Windows build made (RUNNER_LIBRARY, the file's path), carried inside
// the packer as the launcher image is.
#ifdef _WIN32
  .section .rdata,"dr"
#else
  .section .rodata
#endif
  .balign 16
  .globl zamrik_runner_library
zamrik_runner_library:
  .incbin RUNNER_LIBRARY
  .globl zamrik_runner_library_end
zamrik_runner_library_end:
#ifndef _WIN32
  .section .note.GNU-stack,"",@progbits
#endif
