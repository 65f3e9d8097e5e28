#include "tests/pe_loader/stand_ins.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "tests/pe_loader/checked_call.h"
#include "tests/pe_loader/thread_block.h"

namespace korvax::pe {
namespace {

#define WINAPI __attribute__((stdcall))

using Bool = std::int32_t;
using Handle = void*;
using Wide = std::uint16_t;   // wchar_t on Windows

constexpr std::uint32_t kErrorModuleNotFound = 126;
constexpr std::uint32_t kErrorProcedureNotFound = 127;
constexpr std::uint32_t kErrorInvalidParameter = 87;

// ---- The heap ----------------------------------------------------------------
// Each block keeps the start of its backing allocation just before itself.

constexpr std::uint8_t kFreshByte = 0xFF;

void* Block(std::uint32_t size, std::uint32_t alignment, std::uint32_t offset, bool zero)
{
    // The block lies at `offset` mod `2 * alignment`: aligned as asked, and no more.
    const std::uint32_t span = 2 * alignment;
    char* const raw = static_cast<char*>(std::malloc(std::size_t(size) + 2 * span + 16));
    if (raw == nullptr)
        return nullptr;
    std::uintptr_t at = (reinterpret_cast<std::uintptr_t>(raw) + 16 + span - 1) / span * span + offset;
    char* const block = reinterpret_cast<char*>(at);
    std::memcpy(block - 8, &raw, sizeof raw);
    std::memcpy(block - 4, &size, sizeof size);
    std::memset(block, zero ? 0 : kFreshByte, size);
    return block;
}

std::uint32_t BlockSize(const void* block)
{
    std::uint32_t size;
    std::memcpy(&size, static_cast<const char*>(block) - 4, sizeof size);
    return size;
}

void ReleaseBlock(void* block)
{
    if (block == nullptr)
        return;
    char* raw;
    std::memcpy(&raw, static_cast<char*>(block) - 8, sizeof raw);
    std::free(raw);
}

// malloc and friends: 8 mod 16.
void* Malloc(std::uint32_t size)
{
    return Block(size, 8, 8, false);
}

void* Calloc(std::uint32_t count, std::uint32_t size)
{
    if (size != 0 && count > 0xFFFFFFFFu / size)
        return nullptr;
    return Block(count * size, 8, 8, true);
}

void Free(void* block)
{
    ReleaseBlock(block);
}

void* Realloc(void* block, std::uint32_t size)
{
    if (block == nullptr)
        return Malloc(size);
    if (size == 0) {
        ReleaseBlock(block);
        return nullptr;
    }
    void* const moved = Malloc(size);
    if (moved == nullptr)
        return nullptr;
    const std::uint32_t old = BlockSize(block);
    std::memcpy(moved, block, old < size ? old : size);
    ReleaseBlock(block);
    return moved;
}

void* AlignedMalloc(std::uint32_t size, std::uint32_t alignment)
{
    if (alignment == 0 || (alignment & (alignment - 1)) != 0)
        return nullptr;
    if (alignment < 8)
        alignment = 8;
    return Block(size, alignment, alignment, false);
}

void AlignedFree(void* block)
{
    ReleaseBlock(block);
}

// ---- Threads, handles, modules: one thread, nothing to wait for --------------

char gFakeObject;
Handle const kFakeHandle = &gFakeObject;

Bool WINAPI CloseHandle(Handle) { return 1; }
Handle WINAPI CreateSemaphoreW(void*, std::int32_t, std::int32_t, const Wide*) { return kFakeHandle; }
Bool WINAPI ReleaseSemaphore(Handle, std::int32_t, std::int32_t* previous)
{
    if (previous != nullptr)
        *previous = 0;
    return 1;
}
std::uint32_t WINAPI WaitForSingleObject(Handle, std::uint32_t) { return 0; }
void WINAPI Sleep(std::uint32_t) {}
std::uint32_t WINAPI GetCurrentThreadId() { return 1; }

// CRITICAL_SECTION is 24 bytes; with one thread entering it is free.
void WINAPI InitializeCriticalSection(void* section) { std::memset(section, 0, 24); }
void WINAPI DeleteCriticalSection(void*) {}
void WINAPI EnterCriticalSection(void*) {}
void WINAPI LeaveCriticalSection(void*) {}

std::uint32_t WINAPI GetLastErrorStandIn() { return LastError(); }
void WINAPI SetLastErrorStandIn(std::uint32_t value) { SetLastError(value); }

// No other module is loaded: the runtime's searches for libgcc and the like fail
// as on a system without them.
Handle WINAPI GetModuleHandleA(const char* name)
{
    if (name == nullptr)
        return kFakeHandle;
    SetLastError(kErrorModuleNotFound);
    return nullptr;
}
Handle WINAPI GetModuleHandleW(const Wide* name)
{
    return GetModuleHandleA(name == nullptr ? nullptr : "");
}
Handle WINAPI LoadLibraryA(const char*)
{
    SetLastError(kErrorModuleNotFound);
    return nullptr;
}
Bool WINAPI FreeLibrary(Handle) { return 1; }
void* WINAPI GetProcAddress(Handle, const char*)
{
    SetLastError(kErrorProcedureNotFound);
    return nullptr;
}

// Thread-local slots (TlsAlloc and friends), for the one thread.
constexpr std::uint32_t kTlsSlots = 64;
bool gTlsUsed[kTlsSlots];
void* gTlsValues[kTlsSlots];

std::uint32_t WINAPI TlsAlloc()
{
    for (std::uint32_t i = 0; i < kTlsSlots; ++i)
        if (!gTlsUsed[i]) {
            gTlsUsed[i] = true;
            gTlsValues[i] = nullptr;
            return i;
        }
    return 0xFFFFFFFFu;
}
Bool WINAPI TlsFree(std::uint32_t index)
{
    if (index >= kTlsSlots || !gTlsUsed[index])
        return 0;
    gTlsUsed[index] = false;
    return 1;
}
void* WINAPI TlsGetValue(std::uint32_t index)
{
    if (index >= kTlsSlots) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    SetLastError(0);
    return gTlsValues[index];
}
Bool WINAPI TlsSetValue(std::uint32_t index, void* value)
{
    if (index >= kTlsSlots)
        return 0;
    gTlsValues[index] = value;
    return 1;
}

// ---- Text conversions: ASCII is all the runtime meets here ---------------------

Bool WINAPI IsDBCSLeadByteEx(std::uint32_t, std::uint8_t) { return 0; }

std::int32_t WINAPI MultiByteToWideChar(std::uint32_t, std::uint32_t, const char* source, std::int32_t sourceLength,
                                        Wide* target, std::int32_t targetLength)
{
    const std::int32_t length = sourceLength < 0 ? std::int32_t(std::strlen(source)) + 1 : sourceLength;
    if (targetLength == 0)
        return length;
    if (targetLength < length)
        return 0;
    for (std::int32_t i = 0; i < length; ++i)
        target[i] = static_cast<std::uint8_t>(source[i]);
    return length;
}

std::int32_t WINAPI WideCharToMultiByte(std::uint32_t, std::uint32_t, const Wide* source, std::int32_t sourceLength,
                                        char* target, std::int32_t targetLength, const char*, Bool* usedDefault)
{
    std::int32_t length = sourceLength;
    if (length < 0) {   // up to and with the terminating zero
        length = 1;
        while (source[length - 1] != 0)
            ++length;
    }
    if (usedDefault != nullptr)
        *usedDefault = 0;
    if (targetLength == 0)
        return length;
    if (targetLength < length)
        return 0;
    for (std::int32_t i = 0; i < length; ++i)
        target[i] = source[i] < 0x80 ? char(source[i]) : '?';
    return length;
}

// ---- Memory pages of the image -------------------------------------------------

constexpr std::uint32_t kPage = 4096;
std::uint32_t gImageBase = 0;
std::uint32_t gImagePages = 0;
std::uint32_t* gPageProtection = nullptr;

int LinuxProtection(std::uint32_t windows)
{
    switch (windows & 0xFF) {
    case 0x01: return PROT_NONE;
    case 0x02: return PROT_READ;
    case 0x04:
    case 0x08: return PROT_READ | PROT_WRITE;
    case 0x10: return PROT_EXEC;
    case 0x20: return PROT_READ | PROT_EXEC;
    case 0x40:
    case 0x80: return PROT_READ | PROT_WRITE | PROT_EXEC;
    default: return -1;
    }
}

std::int32_t PageIndex(const void* address)
{
    const auto at = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address));
    if (at < gImageBase || at - gImageBase >= gImagePages * kPage)
        return -1;
    return std::int32_t((at - gImageBase) / kPage);
}

struct MemoryInformation {   // MEMORY_BASIC_INFORMATION, 32-bit
    std::uint32_t baseAddress;
    std::uint32_t allocationBase;
    std::uint32_t allocationProtect;
    std::uint32_t regionSize;
    std::uint32_t state;
    std::uint32_t protect;
    std::uint32_t type;
};

std::uint32_t WINAPI VirtualQuery(const void* address, MemoryInformation* info, std::uint32_t length)
{
    const std::int32_t page = PageIndex(address);
    if (page < 0 || length < sizeof(MemoryInformation)) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    std::uint32_t end = std::uint32_t(page) + 1;
    while (end < gImagePages && gPageProtection[end] == gPageProtection[page])
        ++end;
    info->baseAddress = gImageBase + std::uint32_t(page) * kPage;
    info->allocationBase = gImageBase;
    info->allocationProtect = 0x80;                   // PAGE_EXECUTE_WRITECOPY, as for every image
    info->regionSize = (end - std::uint32_t(page)) * kPage;
    info->state = 0x1000;                             // MEM_COMMIT
    info->protect = gPageProtection[page];
    info->type = 0x1000000;                           // MEM_IMAGE
    return sizeof(MemoryInformation);
}

Bool WINAPI VirtualProtect(void* address, std::uint32_t size, std::uint32_t protection, std::uint32_t* previous)
{
    const std::int32_t first = PageIndex(address);
    const int linux = LinuxProtection(protection);
    if (first < 0 || linux < 0 || previous == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    const auto at = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address));
    const std::uint32_t last = (at + (size == 0 ? 1 : size) - 1 - gImageBase) / kPage;
    if (last >= gImagePages) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    *previous = gPageProtection[first];
    const std::uintptr_t start = gImageBase + std::uint32_t(first) * kPage;
    if (mprotect(reinterpret_cast<void*>(start), (last - std::uint32_t(first) + 1) * kPage, linux) != 0)
        return 0;
    for (std::uint32_t p = std::uint32_t(first); p <= last; ++p)
        gPageProtection[p] = protection;
    return 1;
}

// ---- The C runtime -------------------------------------------------------------

// FILE as msvcrt lays it out (32 bytes); _iob[0..2] are stdin, stdout, stderr.
struct RuntimeFile {
    char* ptr;
    std::int32_t count;
    char* base;
    std::int32_t flags;
    std::int32_t file;
    std::int32_t charBuffer;
    std::int32_t bufferSize;
    char* temporaryName;
};
static_assert(sizeof(RuntimeFile) == 32);
RuntimeFile gIob[20] = {{nullptr, 0, nullptr, 0, 0, 0, 0, nullptr},
                        {nullptr, 0, nullptr, 0, 1, 0, 0, nullptr},
                        {nullptr, 0, nullptr, 0, 2, 0, 0, nullptr}};
std::int32_t gMbCurMax = 1;
std::int32_t gErrno = 0;

// The DLL writes only diagnostics; they all go to stderr, which leaves stdout
// to the report.
std::int32_t Fputc(std::int32_t c, RuntimeFile*)
{
    return std::fputc(c, stderr);
}
std::int32_t Fputs(const char* text, RuntimeFile*)
{
    return std::fputs(text, stderr);
}
std::uint32_t Fwrite(const void* data, std::uint32_t size, std::uint32_t count, RuntimeFile*)
{
    return std::uint32_t(std::fwrite(data, size, count, stderr));
}
std::int32_t Vfprintf(RuntimeFile*, const char* format, va_list arguments)
{
    return std::vfprintf(stderr, format, arguments);
}

std::int32_t* Errno()
{
    return &gErrno;
}

void SetUserMathErr(void*) {}
void Lock(std::int32_t) {}
void Unlock(std::int32_t) {}

[[noreturn]] void AbortStandIn()
{
    std::fprintf(stderr, "pe_loader: the DLL called abort()\n");
    std::_Exit(5);
}

[[noreturn]] void AmsgExit(std::int32_t code)
{
    std::fprintf(stderr, "pe_loader: the DLL's runtime stopped it (_amsg_exit %d)\n", code);
    std::_Exit(5);
}

void InitTerm(const std::uint32_t* begin, const std::uint32_t* end)
{
    for (const std::uint32_t* entry = begin; entry < end; ++entry)
        if (*entry != 0)
            CheckedCall(kInitTermCall, *entry, Convention::Cdecl, 0, nullptr, 0);
}

// struct lconv as msvcrt lays it out: the pointers first.
struct RuntimeLconv {
    const char* decimalPoint;
    const char* thousandsSeparator;
    const char* grouping;
    const char* internationalCurrency;
    const char* currency;
    const char* monetaryDecimalPoint;
    const char* monetaryThousandsSeparator;
    const char* monetaryGrouping;
    const char* positiveSign;
    const char* negativeSign;
    char numbers[8];
};
RuntimeLconv gCLocale = {".", "", "", "", "", "", "", "", "", "-", {127, 127, 127, 127, 127, 127, 127, 127}};
RuntimeLconv gCommaLocale = {",", ".", "\3", "EUR", "\x80", ",", ".", "\3", "", "-", {2, 2, 1, 0, 1, 0, 1, 1}};
bool gDecimalComma = false;

RuntimeLconv* Localeconv()
{
    return gDecimalComma ? &gCommaLocale : &gCLocale;
}

char gLocaleName[] = "C";
char gCommaLocaleName[] = "German_Germany.1252";

char* Setlocale(std::int32_t, const char*)
{
    return gDecimalComma ? gCommaLocaleName : gLocaleName;   // the host's choice stays
}

char gErrorText[] = "error";
char* Strerror(std::int32_t)
{
    return gErrorText;
}

// The process's own environment (the kernel-table cap, KORVAX_ISA, is read so).
char* Getenv(const char* name)
{
    return std::getenv(name);
}

std::int32_t Atoi(const char* text)
{
    return std::int32_t(std::strtol(text, nullptr, 10));
}

std::uint32_t Wcslen(const Wide* text)
{
    std::uint32_t length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

// The string and memory functions behave the same in both systems' C libraries.
void* Memcpy(void* to, const void* from, std::uint32_t size) { return std::memcpy(to, from, size); }
void* Memset(void* to, std::int32_t value, std::uint32_t size) { return std::memset(to, value, size); }
std::int32_t Memcmp(const void* a, const void* b, std::uint32_t size) { return std::memcmp(a, b, size); }
std::uint32_t Strlen(const char* text) { return std::uint32_t(std::strlen(text)); }
std::int32_t Strcmp(const char* a, const char* b) { return std::strcmp(a, b); }
std::int32_t Strncmp(const char* a, const char* b, std::uint32_t size) { return std::strncmp(a, b, size); }
char* Strchr(char* text, std::int32_t c) { return std::strchr(text, c); }

#define FUNCTION(module, name, function, kind) {module, name, reinterpret_cast<void*>(&function), kind}
#define DATA(module, name, storage, kind) {module, name, static_cast<void*>(&storage), kind}

const StandIn kStandIns[] = {
    FUNCTION("KERNEL32.dll", "CloseHandle", CloseHandle, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "CreateSemaphoreW", CreateSemaphoreW, "stdcall, 4 arguments"),
    FUNCTION("KERNEL32.dll", "DeleteCriticalSection", DeleteCriticalSection, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "EnterCriticalSection", EnterCriticalSection, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "FreeLibrary", FreeLibrary, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "GetCurrentThreadId", GetCurrentThreadId, "stdcall, 0 arguments"),
    FUNCTION("KERNEL32.dll", "GetLastError", GetLastErrorStandIn, "stdcall, 0 arguments"),
    FUNCTION("KERNEL32.dll", "GetModuleHandleA", GetModuleHandleA, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "GetModuleHandleW", GetModuleHandleW, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "GetProcAddress", GetProcAddress, "stdcall, 2 arguments"),
    FUNCTION("KERNEL32.dll", "InitializeCriticalSection", InitializeCriticalSection, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "IsDBCSLeadByteEx", IsDBCSLeadByteEx, "stdcall, 2 arguments"),
    FUNCTION("KERNEL32.dll", "LeaveCriticalSection", LeaveCriticalSection, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "LoadLibraryA", LoadLibraryA, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "MultiByteToWideChar", MultiByteToWideChar, "stdcall, 6 arguments"),
    FUNCTION("KERNEL32.dll", "ReleaseSemaphore", ReleaseSemaphore, "stdcall, 3 arguments"),
    FUNCTION("KERNEL32.dll", "SetLastError", SetLastErrorStandIn, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "Sleep", Sleep, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "TlsAlloc", TlsAlloc, "stdcall, 0 arguments"),
    FUNCTION("KERNEL32.dll", "TlsFree", TlsFree, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "TlsGetValue", TlsGetValue, "stdcall, 1 argument"),
    FUNCTION("KERNEL32.dll", "TlsSetValue", TlsSetValue, "stdcall, 2 arguments"),
    FUNCTION("KERNEL32.dll", "VirtualProtect", VirtualProtect, "stdcall, 4 arguments"),
    FUNCTION("KERNEL32.dll", "VirtualQuery", VirtualQuery, "stdcall, 3 arguments"),
    FUNCTION("KERNEL32.dll", "WaitForSingleObject", WaitForSingleObject, "stdcall, 2 arguments"),
    FUNCTION("KERNEL32.dll", "WideCharToMultiByte", WideCharToMultiByte, "stdcall, 8 arguments"),
    DATA("msvcrt.dll", "__mb_cur_max", gMbCurMax, "data: int"),
    FUNCTION("msvcrt.dll", "__setusermatherr", SetUserMathErr, "cdecl"),
    FUNCTION("msvcrt.dll", "_aligned_free", AlignedFree, "cdecl"),
    FUNCTION("msvcrt.dll", "_aligned_malloc", AlignedMalloc, "cdecl"),
    FUNCTION("msvcrt.dll", "_amsg_exit", AmsgExit, "cdecl"),
    FUNCTION("msvcrt.dll", "_errno", Errno, "cdecl"),
    FUNCTION("msvcrt.dll", "_initterm", InitTerm, "cdecl"),
    DATA("msvcrt.dll", "_iob", gIob, "data: FILE[20]"),
    FUNCTION("msvcrt.dll", "_lock", Lock, "cdecl"),
    FUNCTION("msvcrt.dll", "_unlock", Unlock, "cdecl"),
    FUNCTION("msvcrt.dll", "abort", AbortStandIn, "cdecl"),
    FUNCTION("msvcrt.dll", "atoi", Atoi, "cdecl"),
    FUNCTION("msvcrt.dll", "calloc", Calloc, "cdecl"),
    FUNCTION("msvcrt.dll", "fputc", Fputc, "cdecl"),
    FUNCTION("msvcrt.dll", "fputs", Fputs, "cdecl"),
    FUNCTION("msvcrt.dll", "free", Free, "cdecl"),
    FUNCTION("msvcrt.dll", "fwrite", Fwrite, "cdecl"),
    FUNCTION("msvcrt.dll", "getenv", Getenv, "cdecl"),
    FUNCTION("msvcrt.dll", "localeconv", Localeconv, "cdecl"),
    FUNCTION("msvcrt.dll", "malloc", Malloc, "cdecl"),
    FUNCTION("msvcrt.dll", "memcmp", Memcmp, "cdecl"),
    FUNCTION("msvcrt.dll", "memcpy", Memcpy, "cdecl"),
    FUNCTION("msvcrt.dll", "memset", Memset, "cdecl"),
    FUNCTION("msvcrt.dll", "realloc", Realloc, "cdecl"),
    FUNCTION("msvcrt.dll", "setlocale", Setlocale, "cdecl"),
    FUNCTION("msvcrt.dll", "strchr", Strchr, "cdecl"),
    FUNCTION("msvcrt.dll", "strcmp", Strcmp, "cdecl"),
    FUNCTION("msvcrt.dll", "strerror", Strerror, "cdecl"),
    FUNCTION("msvcrt.dll", "strlen", Strlen, "cdecl"),
    FUNCTION("msvcrt.dll", "strncmp", Strncmp, "cdecl"),
    FUNCTION("msvcrt.dll", "vfprintf", Vfprintf, "cdecl"),
    FUNCTION("msvcrt.dll", "wcslen", Wcslen, "cdecl"),
};

} // namespace

const StandIn* FindStandIn(const char* module, const char* name)
{
    for (const StandIn& s : kStandIns)
        if (strcasecmp(s.module, module) == 0 && std::strcmp(s.name, name) == 0)
            return &s;
    return nullptr;
}

void UseDecimalComma(bool comma)
{
    gDecimalComma = comma;
}

void SetImagePages(std::uint32_t base, std::uint32_t pages, std::uint32_t* protection)
{
    gImageBase = base;
    gImagePages = pages;
    gPageProtection = protection;
}

} // namespace korvax::pe
