/*
 * Exception vectors of the e500 core. IVPR points at this table (the start of
 * the program, 64 KiB aligned) and each IVOR at one 16-byte stub. Every
 * interrupt saves the registers into ppceFaultFrame and calls
 * ppceExceptionReport, which prints them and halts; the only exception is
 * the external input, which only the idle tick (the MPIC's timer) raises to
 * end a doze: it acknowledges the interrupt and returns with interrupts and
 * dozing off.
 */
#define SPRG0 272
#define SPRG1 273
#define SRR1 27

    .section .text.vectors, "ax"
    .globl ppceVectorTable
    .balign 16
ppceVectorTable:

#define VECTOR(n)          \
    .balign 16;            \
    .globl ppceVector##n;  \
ppceVector##n:             \
    mtspr SPRG0, %r3;      \
    li %r3, n;             \
    b exceptionCommon

    VECTOR(0)
    VECTOR(1)
    VECTOR(2)
    VECTOR(3)

    .balign 16
    .globl ppceVector4
ppceVector4:
    b idleTickWake

    VECTOR(5)
    VECTOR(6)
    VECTOR(7)
    VECTOR(8)
    VECTOR(9)
    VECTOR(10)
    VECTOR(11)
    VECTOR(12)
    VECTOR(13)
    VECTOR(14)
    VECTOR(15)
    VECTOR(32)
    VECTOR(33)
    VECTOR(34)
    VECTOR(35)

/* The idle tick came while the idle wait dozed. Take it from the MPIC
 * (interrupt acknowledge, end of interrupt) and return with MSR[WE] and
 * MSR[EE] cleared in the saved state, so the core does not doze again and
 * takes no further interrupt. r3 and r4 are kept in SPRG0 and SPRG1. */
#define MPIC_CPU0 0xF0060000
idleTickWake:
    mtspr SPRG0, %r3
    mtspr SPRG1, %r4
    lis %r4, MPIC_CPU0@h
    lwz %r3, 0xA0(%r4)          /* IACK */
    mbar
    li %r3, 0
    stw %r3, 0xB0(%r4)          /* EOI */
    mbar
    mfspr %r3, SRR1
    rlwinm %r3, %r3, 0, 14, 12  /* clear bit 13 (WE, 0x00040000) */
    rlwinm %r3, %r3, 0, 17, 15  /* clear bit 16 (EE, 0x00008000) */
    mtspr SRR1, %r3
    mfspr %r4, SPRG1
    mfspr %r3, SPRG0
    rfi

/* r3 holds the vector number, SPRG0 the interrupted r3. Nothing returns from
 * here, so the frame is a fixed one and the stack a fresh one. */
exceptionCommon:
    mtspr SPRG1, %r4
    lis %r4, ppceFaultFrame@ha
    addi %r4, %r4, ppceFaultFrame@l
    stw %r0, 0(%r4)
    stw %r1, 4(%r4)
    stw %r2, 8(%r4)
    mfspr %r0, SPRG0
    stw %r0, 12(%r4)
    mfspr %r0, SPRG1
    stw %r0, 16(%r4)
    stmw %r5, 20(%r4)         /* r5..r31 at 20..127 */
    mflr %r0
    stw %r0, 128(%r4)
    mfcr %r0
    stw %r0, 132(%r4)
    mfctr %r0
    stw %r0, 136(%r4)
    mfxer %r0
    stw %r0, 140(%r4)
    stw %r3, 144(%r4)
    lis %r1, __exception_stack_top@ha
    addi %r1, %r1, __exception_stack_top@l
    li %r0, 0
    stwu %r0, -16(%r1)
    mr %r3, %r4
    bl ppceExceptionReport
1:  b 1b

    .section .note.GNU-stack, "", @progbits
