// The license of the launcher and the notices of the code linked into it, carried as text in
// every executable made from the launcher image, as the notices' licenses ask.
  .section .rdata,"dr"
  .globl zamrik_notices
zamrik_notices:
  .incbin LICENSE_FILE
  .ascii "\n"
  .incbin NOTICES_FILE
  .byte 0
