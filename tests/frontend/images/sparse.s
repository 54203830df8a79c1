@ A program with gaps: vectors at flash start, an application behind a
@ 16 KB gap, initialised data whose load address follows it in flash, and
@ zero-initialised data that takes no file bytes.
    .section .vectors, "a"
    .word 0x20001000
    .word 0x08004001
    .word 0x11223344

    .section .app, "ax"
    .byte 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7
    .byte 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF

    .section .data, "aw"
    .word 0xCAFEBABE
    .word 0x0BADF00D

    .section .bss, "aw", %nobits
    .space 64
