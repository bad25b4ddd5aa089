/* Fixed random bytes loaded with the demo and covered by its checksum. */
    .section .rodata.filler, "a"
    .incbin STK_DEMO_FILLER
    .section .note.GNU-stack, "", @progbits
