# The checking trampoline's machine part (i386, System V): see checked_call.h.
#
#   void korvax_pe_checked_call(struct CallFrame* frame)
#
# Builds the callee's stack below its own frame with esp at the call instruction
# at frame->stackOffset mod 16, loads the given x87 control word and MXCSR,
# clears the direction flag, puts known values into ebx, esi, edi and ebp,
# calls, and stores what the callee left (registers, esp, flags, MXCSR, x87
# environment) into the frame. Calls nest (the DLL calls the host's mixer,
# which calls the DLL again): each level keeps its frame and its esp in
# korvax_pe_call_frames, since the callee may have damaged every register.

    .set FRAME_FUNCTION, 0
    .set FRAME_THIS, 4
    .set FRAME_WORDS, 8
    .set FRAME_COUNT, 12
    .set FRAME_OFFSET, 16
    .set FRAME_X87, 20
    .set FRAME_MXCSR, 24
    .set FRAME_EAX, 28
    .set FRAME_EDX, 32
    .set FRAME_ESP_AT_CALL, 36
    .set FRAME_ESP_AFTER, 40
    .set FRAME_EBX, 44
    .set FRAME_ESI, 48
    .set FRAME_EDI, 52
    .set FRAME_EBP, 56
    .set FRAME_EFLAGS, 60
    .set FRAME_MXCSR_AFTER, 64
    .set FRAME_X87_ENVIRONMENT, 68

    .set MAX_DEPTH, 64

    .bss
    .align 4
    .globl korvax_pe_call_depth
korvax_pe_call_depth:
    .long 0
korvax_pe_call_frames:          # per depth: the frame, then esp after the pushes
    .skip 8 * MAX_DEPTH

    .text
    .globl korvax_pe_checked_call
    .type korvax_pe_checked_call, @function
korvax_pe_checked_call:
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 20(%esp), %esi
    movl korvax_pe_call_depth, %eax
    cmpl $MAX_DEPTH, %eax
    jae 9f
    movl %esi, korvax_pe_call_frames(,%eax,8)
    movl %esp, korvax_pe_call_frames+4(,%eax,8)
    incl %eax
    movl %eax, korvax_pe_call_depth

    # esp = ((esp - 64 - 4 * count) & -16) + offset; the arguments from there up.
    movl FRAME_COUNT(%esi), %ecx
    leal 64(,%ecx,4), %eax
    movl %esp, %edx
    subl %eax, %edx
    andl $-16, %edx
    addl FRAME_OFFSET(%esi), %edx
    movl %edx, %esp
    movl FRAME_WORDS(%esi), %eax
    xorl %edx, %edx
1:  cmpl %ecx, %edx
    jae 2f
    movl (%eax,%edx,4), %edi
    movl %edi, (%esp,%edx,4)
    incl %edx
    jmp 1b
2:  movl %esp, FRAME_ESP_AT_CALL(%esi)

    fnclex
    fldcw FRAME_X87(%esi)
    ldmxcsr FRAME_MXCSR(%esi)
    cld
    movl FRAME_FUNCTION(%esi), %eax
    movl FRAME_THIS(%esi), %ecx
    movl $0xB0B0B0B0, %ebx
    movl $0xD1D1D1D1, %edi
    movl $0xB9B9B9B9, %ebp
    movl $0x51515151, %esi
    call *%eax

    movl korvax_pe_call_depth, %ecx
    movl korvax_pe_call_frames-8(,%ecx,8), %ecx
    movl %eax, FRAME_EAX(%ecx)
    movl %edx, FRAME_EDX(%ecx)
    movl %esp, FRAME_ESP_AFTER(%ecx)
    movl %ebx, FRAME_EBX(%ecx)
    movl %esi, FRAME_ESI(%ecx)
    movl %edi, FRAME_EDI(%ecx)
    movl %ebp, FRAME_EBP(%ecx)
    pushfl
    popl FRAME_EFLAGS(%ecx)
    stmxcsr FRAME_MXCSR_AFTER(%ecx)
    fnstenv FRAME_X87_ENVIRONMENT(%ecx)

    movl korvax_pe_call_depth, %eax
    decl %eax
    movl %eax, korvax_pe_call_depth
    movl korvax_pe_call_frames+4(,%eax,8), %esp
    cld
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

9:  call abort                   # nested deeper than any host call chain goes

    .size korvax_pe_checked_call, .-korvax_pe_checked_call
    .section .note.GNU-stack,"",@progbits
