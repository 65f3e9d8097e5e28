#include "tests/pe_loader/thread_block.h"

#include <asm/ldt.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace korvax::pe {
namespace {

constexpr int kLdtEntry = 1;
constexpr int kTlsSlots = 64;

struct alignas(4096) ThreadBlock {
    std::uint32_t words[1024];   // the block proper: offsets / 4
};

ThreadBlock gBlock;
ThreadBlock gProcessBlock;
void* gTlsArray[kTlsSlots];

std::uint32_t Address(const void* p)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

} // namespace

bool InstallThreadBlock(std::string& error)
{
    std::uint32_t* teb = gBlock.words;
    const char here = 0;
    const std::uint32_t stack = Address(&here);
    teb[0x00 / 4] = 0xFFFFFFFFu;                            // no exception handler registered
    teb[0x04 / 4] = (stack + 0x10000u) & ~0xFFFu;           // stack base (above every frame of ours)
    teb[0x08 / 4] = (stack - 0x400000u) & ~0xFFFu;          // stack limit
    teb[0x18 / 4] = Address(teb);
    teb[0x20 / 4] = static_cast<std::uint32_t>(getpid());
    teb[0x24 / 4] = 1;
    teb[0x2C / 4] = Address(gTlsArray);
    teb[0x30 / 4] = Address(gProcessBlock.words);

    user_desc segment;
    std::memset(&segment, 0, sizeof segment);
    segment.entry_number = kLdtEntry;
    segment.base_addr = Address(teb);
    segment.limit = sizeof(ThreadBlock) - 1;
    segment.seg_32bit = 1;
    segment.contents = 0;          // data, expanding up
    segment.read_exec_only = 0;
    segment.limit_in_pages = 0;
    segment.seg_not_present = 0;
    segment.useable = 1;
    if (syscall(SYS_modify_ldt, 0x11, &segment, sizeof segment) != 0) {
        error = "modify_ldt refused the thread block's segment";
        return false;
    }
    const std::uint16_t selector = (kLdtEntry << 3) | 4 | 3;   // LDT, privilege level 3
    __asm__ volatile("movw %0, %%fs" : : "r"(selector));
    std::uint32_t self = 0;
    __asm__ volatile("movl %%fs:0x18, %0" : "=r"(self));
    if (self != Address(teb)) {
        error = "%fs does not reach the thread block";
        return false;
    }
    return true;
}

void SetThreadTlsSlot(std::uint32_t index, void* data)
{
    if (index < kTlsSlots)
        gTlsArray[index] = data;
}

std::uint32_t LastError()
{
    return gBlock.words[0x34 / 4];
}

void SetLastError(std::uint32_t value)
{
    gBlock.words[0x34 / 4] = value;
}

} // namespace korvax::pe
