# i386_ports: a static i386 program (int 0x80, no libc) that asks for COM1 with
# ioperm and then everything with iopl, and sends with out and rep outsb; then a
# thread of its own ignores SIGSEGV with signal(), which a port instruction of
# the first thread must not undo.
        .code32
        .section .rodata
sent:   .ascii "i386 rep outsb\n"
        .set sent_length, . - sent
granted:  .ascii "ioperm 0\n"
raised:   .ascii "iopl 0\n"
refused:  .ascii "refused\n"
ignored:  .ascii "SIGSEGV ignored\n"
reset:    .ascii "SIGSEGV reset\n"
        .text
        .globl _start
_start:
        mov $101, %eax          # ioperm(0x3f8, 1, 1): the data register only
        mov $0x3f8, %ebx
        mov $1, %ecx
        mov $1, %edx
        int $0x80
        test %eax, %eax
        jnz fail
        mov $granted, %ecx
        mov $9, %edx
        call say
        mov $0x3f8, %dx
        mov $'A', %al
        out %al, %dx
        mov $sent, %esi
        mov $sent_length, %ecx
        rep outsb
        mov $110, %eax          # iopl(3): every port
        mov $3, %ebx
        int $0x80
        test %eax, %eax
        jnz fail
        mov $raised, %ecx
        mov $7, %edx
        call say
        mov $0x3ff, %dx         # the scratch register, beyond what ioperm gave
        mov $'S', %al
        out %al, %dx
        in %dx, %al
        mov $0x3f8, %dx
        out %al, %dx
        mov $120, %eax          # clone(CLONE_VM|FS|FILES|SIGHAND|THREAD, stack): a thread, with no TID pointers
        mov $0x10f00, %ebx
        mov $thread_stack_end, %ecx
        xor %edx, %edx
        xor %esi, %esi
        xor %edi, %edi
        int $0x80
        test %eax, %eax
        jz ignore_segv
2:      cmpl $0, segv_ignored   # wait for the thread: SIGSEGV's disposition is shared
        je 2b
        mov $0x3f8, %dx
        mov $'I', %al
        out %al, %dx
        mov $174, %eax          # rt_sigaction(SIGSEGV, 0, &action, 8)
        mov $11, %ebx
        xor %ecx, %ecx
        mov $action, %edx
        mov $8, %esi
        int $0x80
        mov $ignored, %ecx
        mov $16, %edx
        cmpl $1, action         # the handler: SIG_IGN
        je 1f
        mov $reset, %ecx
        mov $14, %edx
1:      call say
        mov $1, %eax            # exit(0)
        xor %ebx, %ebx
        int $0x80
fail:
        mov $refused, %ecx
        mov $8, %edx
        call say
        mov $1, %eax            # exit(1)
        mov $1, %ebx
        int $0x80
ignore_segv:                    # the thread: signal(SIGSEGV, SIG_IGN), then it ends
        mov $48, %eax
        mov $11, %ebx
        mov $1, %ecx
        int $0x80
        movl $1, segv_ignored
        mov $1, %eax            # exit(0), of the thread alone
        xor %ebx, %ebx
        int $0x80
say:                            # write(1, ecx, edx)
        mov $4, %eax
        mov $1, %ebx
        int $0x80
        ret
        .bss
action: .skip 20                # the i386 ABI's struct sigaction
segv_ignored: .skip 4
        .balign 16
thread_stack: .skip 4096
thread_stack_end:
