#pragma once
// A thread information block for the calling thread, as Windows code expects it
// at %fs:0: MinGW's start-up reads the block's own address from %fs:0x18. The
// block sits in a segment of the local descriptor table (modify_ldt), which %fs
// then selects; 32-bit Linux keeps its own thread pointer in %gs, so nothing of
// the loader's changes.
//
// Fields filled: 0x00 exception list (none), 0x04/0x08 stack base and limit,
// 0x18 the block's own address, 0x20/0x24 process and thread id, 0x2C the
// thread's TLS array, 0x30 a process environment block (zeros), 0x34 the last
// error value.

#include <cstdint>
#include <string>

namespace korvax::pe {

// Installs the block; false with `error` set when the system refuses the segment.
bool InstallThreadBlock(std::string& error);

// The TLS array (%fs:0x2C): slot i points to the thread's copy of a module's
// TLS data. Modules are given index 0 upward.
void SetThreadTlsSlot(std::uint32_t index, void* data);

std::uint32_t LastError();
void SetLastError(std::uint32_t value);

} // namespace korvax::pe
