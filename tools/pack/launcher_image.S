// The launcher image that the Windows build made (LAUNCHER_IMAGE, the file's path), carried
// inside the packer.
#ifdef _WIN32
  .section .rdata,"dr"
#else
  .section .rodata
#endif
  .balign 16
  .globl zamrik_launcher_image
zamrik_launcher_image:
  .incbin LAUNCHER_IMAGE
  .globl zamrik_launcher_image_end
zamrik_launcher_image_end:
#ifndef _WIN32
  .section .note.GNU-stack,"",@progbits
#endif
