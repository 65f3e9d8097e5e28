/* A machine library with faults made on purpose, for the PE loader's self-test
 * (pe_loader --self-test): each slot of its machine breaks one rule a DLL must
 * keep, and the loader must notice. Built with MinGW at test time, in variants:
 *   FAULT_UNKNOWN_IMPORT    imports KERNEL32!Beep, which the loader does not know
 *   FAULT_DLLMAIN_FAILS     DllMain reports failure on process attach
 * and, by link options, without base relocations or with its exports' ordinals
 * swapped (faulty_swapped.def).
 *
 * Slots are thiscall ("this" in ECX, the callee pops its arguments), numbered as
 * the self-test calls them; the ones in assembly take two arguments. */

#include <stdio.h>
#include <stdlib.h>

#define THISCALL __attribute__((thiscall))

typedef struct Machine Machine;

__asm__(
    ".text\n"
    /* 0: correct: returns the sum of its two arguments */
    "_slot_correct:\n"
    "    movl 4(%esp), %eax\n"
    "    addl 8(%esp), %eax\n"
    "    ret $8\n"
    /* 1: pops one argument of two */
    "_slot_pops_too_little:\n"
    "    ret $4\n"
    /* 2 to 5: each changes a register the caller keeps */
    "_slot_changes_ebx:\n"
    "    movl $0x12345678, %ebx\n"
    "    ret $8\n"
    "_slot_changes_esi:\n"
    "    movl $0x12345678, %esi\n"
    "    ret $8\n"
    "_slot_changes_edi:\n"
    "    movl $0x12345678, %edi\n"
    "    ret $8\n"
    "_slot_changes_ebp:\n"
    "    movl $0x12345678, %ebp\n"
    "    ret $8\n"
    /* 6: returns with the direction flag set */
    "_slot_sets_direction:\n"
    "    std\n"
    "    ret $8\n"
    /* 7: leaves a value on the x87 stack */
    "_slot_leaves_x87_value:\n"
    "    fld1\n"
    "    ret $8\n"
    /* 8: leaves the x87 unit at 24-bit precision */
    "_slot_changes_x87_control:\n"
    "    pushl $0x007F\n"
    "    fldcw (%esp)\n"
    "    addl $4, %esp\n"
    "    ret $8\n"
    /* 9: leaves flush-to-zero and denormals-are-zero on */
    "_slot_changes_mxcsr:\n"
    "    pushl $0x9FC0\n"
    "    ldmxcsr (%esp)\n"
    "    addl $4, %esp\n"
    "    ret $8\n"
    /* 12: returns esp mod 16 as the slot finds it */
    "_slot_stack_offset:\n"
    "    movl %esp, %eax\n"
    "    andl $15, %eax\n"
    "    ret $8\n"
    /* 17: assumes the caller aligned esp to 16 bytes at the call, as 32-bit
       Linux code may, and stores an SSE register to the stack with movaps */
    "_slot_needs_aligned_stack:\n"
    "    subl $12, %esp\n"
    "    xorps %xmm0, %xmm0\n"
    "    movaps %xmm0, (%esp)\n"
    "    addl $12, %esp\n"
    "    xorl %eax, %eax\n"
    "    ret $8\n");

extern char slot_correct[], slot_pops_too_little[], slot_changes_ebx[], slot_changes_esi[], slot_changes_edi[],
    slot_changes_ebp[], slot_sets_direction[], slot_leaves_x87_value[], slot_changes_x87_control[],
    slot_changes_mxcsr[], slot_stack_offset[], slot_needs_aligned_stack[];

/* 10 and 11: write one float past the end of the buffer, or one before it. */
static int THISCALL WritesPastTheEnd(Machine* self, float* samples, int pairs, int mode)
{
    (void)self;
    (void)mode;
    samples[2 * pairs] = 1.0f;
    return 1;
}

static int THISCALL WritesBeforeTheStart(Machine* self, float* samples, int pairs, int mode)
{
    (void)self;
    (void)pairs;
    (void)mode;
    samples[-1] = 1.0f;
    return 1;
}

/* 13: the buffer's address mod 16. */
static unsigned THISCALL BufferOffset(Machine* self, float* samples, int pairs, int mode)
{
    (void)self;
    (void)pairs;
    (void)mode;
    return (unsigned)(size_t)samples & 15u;
}

/* 14: a fresh heap block: its address mod 16, its first and its last byte
 * (reading memory nobody has written is the point here). */
#pragma GCC diagnostic ignored "-Wuninitialized"
static unsigned THISCALL HeapBlock(Machine* self, int a, int b)
{
    (void)self;
    (void)a;
    (void)b;
    volatile unsigned char* block = malloc(64);
    const unsigned result = ((unsigned)(size_t)block & 15u) | (unsigned)block[0] << 8 | (unsigned)block[63] << 16;
    free((void*)block);
    return result;
}

/* 15: writes into a string constant, which lies in a read-only section. */
static int THISCALL WritesReadOnly(Machine* self, int a, int b)
{
    (void)self;
    (void)b;
    static const char kText[] = "constant";
    volatile char* text = (volatile char*)kText;
    text[0] = (char)a;
    return text[0];
}

/* 16: runs an instruction held in data (a return). */
static unsigned char gReturnInstruction[16] = {0xC3};
static int THISCALL ExecutesData(Machine* self, int a, int b)
{
    (void)self;
    (void)a;
    (void)b;
    void (*volatile code)(void) = (void (*)(void))(void*)gReturnInstruction;
    code();
    return 0;
}

/* 18: how often the TLS callback and DllMain saw process attach. */
static volatile int gTlsAttaches;
static volatile int gMainAttaches;
static int THISCALL StartUpCalls(Machine* self, int a, int b)
{
    (void)self;
    (void)a;
    (void)b;
    return gTlsAttaches << 8 | gMainAttaches;
}

#if defined(FAULT_UNKNOWN_IMPORT)
__declspec(dllimport) int __stdcall Beep(unsigned frequency, unsigned duration);
static int THISCALL Sounds(Machine* self, int a, int b)
{
    (void)self;
    return Beep((unsigned)a, (unsigned)b);
}
#define LAST_SLOT (void*)Sounds
#else
#define LAST_SLOT (void*)slot_correct
#endif

static void* const kSlots[] = {
    slot_correct,           slot_pops_too_little,     slot_changes_ebx,     slot_changes_esi,
    slot_changes_edi,       slot_changes_ebp,         slot_sets_direction,  slot_leaves_x87_value,
    slot_changes_x87_control, slot_changes_mxcsr,     (void*)WritesPastTheEnd, (void*)WritesBeforeTheStart,
    slot_stack_offset,      (void*)BufferOffset,      (void*)HeapBlock,     (void*)WritesReadOnly,
    (void*)ExecutesData,    slot_needs_aligned_stack, (void*)StartUpCalls,  LAST_SLOT,
};

static struct {
    void* const* slots;
} gMachine = {kSlots};

static int gDescription[15];

__declspec(dllexport) void* CreateMachine(void)
{
    return &gMachine;
}

__declspec(dllexport) const void* GetInfo(void)
{
    return gDescription;
}

static void __stdcall OnThreadStorage(void* module, unsigned long reason, void* reserved)
{
    (void)module;
    (void)reserved;
    if (reason == 1)
        ++gTlsAttaches;
}
__attribute__((section(".CRT$XLF"), used)) void(__stdcall* const kThreadStorageCallback)(void*, unsigned long,
                                                                                          void*) = OnThreadStorage;

int __stdcall DllMain(void* module, unsigned long reason, void* reserved)
{
    (void)module;
    (void)reserved;
    if (reason == 1) {
        ++gMainAttaches;
#if defined(FAULT_DLLMAIN_FAILS)
        return 0;
#endif
    }
    if (reason == 0)
        fputs("faulty machine: process detach\n", stderr);
    return 1;
}
