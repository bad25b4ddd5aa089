/*
 * Entry from QEMU's -kernel load: MSR 0, r3 = the device tree, the program
 * mapped by QEMU's start TLB entry. Takes the program's own stack, clears the
 * bss, runs the C++ start-up (vectors, TLB, console, constructors), then
 * main(); its return value powers the board off through exit().
 */
    .section .text.start, "ax"
    .globl _start
_start:
    mr %r31, %r3
    lis %r1, __stack_top@ha
    addi %r1, %r1, __stack_top@l
    li %r0, 0
    stwu %r0, -16(%r1)          /* an empty back chain ends stack walks */

    lis %r3, __bss_start@ha
    addi %r3, %r3, __bss_start@l
    lis %r4, __bss_end@ha
    addi %r4, %r4, __bss_end@l
    li %r0, 0
1:  cmplw %r3, %r4
    bge 2f
    stw %r0, 0(%r3)
    addi %r3, %r3, 4
    b 1b

2:  mr %r3, %r31
    bl ppceStartup
    li %r3, 0
    li %r4, 0
    bl main
    bl exit
3:  b 3b

    .section .note.GNU-stack, "", @progbits
