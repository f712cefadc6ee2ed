/* The firmware image, linked into native builds byte for byte. */
    .section .rodata
    .balign 16
    .globl morvex_firmware_start
    .globl morvex_firmware_end
morvex_firmware_start:
    .incbin FIRMWARE_BIN_PATH
morvex_firmware_end:
    .byte 0
    .section .note.GNU-stack,"",@progbits
