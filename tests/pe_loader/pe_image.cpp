#include "tests/pe_loader/pe_image.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tests/pe_loader/checked_call.h"
#include "tests/pe_loader/stand_ins.h"
#include "tests/pe_loader/thread_block.h"

namespace korvax::pe {
namespace {

constexpr std::uint32_t kPage = 4096;
constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kPe32Magic = 0x010B;
constexpr std::uint16_t kFileDll = 0x2000;
constexpr std::uint16_t kFileRelocationsStripped = 0x0001;

enum Directory { kExportDirectory = 0, kImportDirectory = 1, kRelocationDirectory = 5, kTlsDirectory = 9 };

constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionRead = 0x40000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;

constexpr std::uint16_t kRelocationAbsolute = 0;
constexpr std::uint16_t kRelocationHighLow = 3;

constexpr std::uint32_t kProcessDetach = 0;
constexpr std::uint32_t kProcessAttach = 1;

template <class T>
T Read(const std::vector<std::uint8_t>& file, std::size_t offset)
{
    T value{};
    if (offset + sizeof(T) <= file.size())
        std::memcpy(&value, file.data() + offset, sizeof(T));
    return value;
}

// The Windows page protection of a section's characteristics.
std::uint32_t WindowsProtection(std::uint32_t characteristics)
{
    const bool read = (characteristics & kSectionRead) != 0;
    const bool write = (characteristics & kSectionWrite) != 0;
    if (characteristics & kSectionExecute)
        return write ? 0x40 : (read ? 0x20 : 0x10);   // PAGE_EXECUTE_READWRITE, _READ, PAGE_EXECUTE
    if (write)
        return 0x04;                                  // PAGE_READWRITE
    return read ? 0x02 : 0x01;                        // PAGE_READONLY, PAGE_NOACCESS
}

int LinuxProtection(std::uint32_t characteristics)
{
    int protection = PROT_NONE;
    if (characteristics & kSectionRead)
        protection |= PROT_READ;
    if (characteristics & kSectionWrite)
        protection |= PROT_WRITE;
    if (characteristics & kSectionExecute)
        protection |= PROT_EXEC;
    return protection;
}

std::string Hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%#x", value);
    return text;
}

} // namespace

std::uint8_t* Image::At(std::uint32_t rva, std::uint32_t size) const
{
    if (rva > imageSize_ || size > imageSize_ - rva)
        return nullptr;
    return reinterpret_cast<std::uint8_t*>(std::uintptr_t(base_) + rva);
}

std::uint32_t Image::Word(std::uint32_t rva) const
{
    const std::uint8_t* p = At(rva, 4);
    std::uint32_t value = 0;
    if (p != nullptr)
        std::memcpy(&value, p, 4);
    return value;
}

std::unique_ptr<Image> Image::Load(const std::string& path, bool elsewhere, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return nullptr;
    }
    const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::unique_ptr<Image> image(new Image());
    if (!image->Map(file, elsewhere, error) || !image->Relocate(error) || !image->BindImports(error) ||
        !image->ReadExports(error) || !image->PrepareTls(error) || !image->Protect(error))
        return nullptr;
    return image;
}

bool Image::Map(const std::vector<std::uint8_t>& file, bool elsewhere, std::string& error)
{
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') {
        error = "not a PE file (no MZ header)";
        return false;
    }
    const std::uint32_t pe = Read<std::uint32_t>(file, 0x3C);
    if (Read<std::uint32_t>(file, pe) != 0x00004550) {
        error = "not a PE file (no PE signature)";
        return false;
    }
    const std::size_t coff = pe + 4;
    const std::uint16_t machine = Read<std::uint16_t>(file, coff);
    const std::uint16_t sectionCount = Read<std::uint16_t>(file, coff + 2);
    const std::uint16_t optionalSize = Read<std::uint16_t>(file, coff + 16);
    const std::uint16_t characteristics = Read<std::uint16_t>(file, coff + 18);
    const std::size_t optional = coff + 20;
    if (machine != kMachineI386 || Read<std::uint16_t>(file, optional) != kPe32Magic) {
        error = "not a 32-bit x86 PE image";
        return false;
    }
    if ((characteristics & kFileDll) == 0) {
        error = "not a DLL";
        return false;
    }
    entryPoint_ = Read<std::uint32_t>(file, optional + 16);
    preferredBase_ = Read<std::uint32_t>(file, optional + 28);
    const std::uint32_t sectionAlignment = Read<std::uint32_t>(file, optional + 32);
    imageSize_ = Read<std::uint32_t>(file, optional + 56);
    headersSize_ = Read<std::uint32_t>(file, optional + 60);
    const std::uint32_t directoryCount = Read<std::uint32_t>(file, optional + 92);
    for (std::uint32_t d = 0; d < directoryCount && d < 16; ++d) {
        directories_[d][0] = Read<std::uint32_t>(file, optional + 96 + 8 * d);
        directories_[d][1] = Read<std::uint32_t>(file, optional + 100 + 8 * d);
    }
    if (sectionAlignment % kPage != 0 || imageSize_ == 0 || headersSize_ > imageSize_) {
        error = "sections not aligned to pages (alignment " + Hex(sectionAlignment) + ")";
        return false;
    }
    if (elsewhere && ((characteristics & kFileRelocationsStripped) || directories_[kRelocationDirectory][1] == 0)) {
        error = "the DLL has no base relocations and cannot be loaded away from its base " + Hex(preferredBase_);
        return false;
    }

    // The preferred base, or anywhere else.
    const std::uint32_t size = (imageSize_ + kPage - 1) / kPage * kPage;
    void* memory = MAP_FAILED;
    if (!elsewhere) {
        memory = mmap(reinterpret_cast<void*>(std::uintptr_t(preferredBase_)), size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (memory != MAP_FAILED && memory != reinterpret_cast<void*>(std::uintptr_t(preferredBase_))) {
            munmap(memory, size);
            memory = MAP_FAILED;
        }
        if (memory == MAP_FAILED) {
            error = "the DLL's preferred base " + Hex(preferredBase_) + " is taken";
            return false;
        }
    } else {
        memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == reinterpret_cast<void*>(std::uintptr_t(preferredBase_))) {
            void* other = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            munmap(memory, size);
            memory = other;
        }
        if (memory == MAP_FAILED) {
            error = "no room for the DLL";
            return false;
        }
    }
    base_ = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(memory));

    std::memcpy(memory, file.data(), std::min<std::size_t>(headersSize_, file.size()));
    const std::size_t sectionTable = optional + optionalSize;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
        const std::size_t header = sectionTable + 40 * std::size_t(i);
        const std::uint32_t virtualSize = Read<std::uint32_t>(file, header + 8);
        const std::uint32_t rva = Read<std::uint32_t>(file, header + 12);
        const std::uint32_t rawSize = Read<std::uint32_t>(file, header + 16);
        const std::uint32_t rawOffset = Read<std::uint32_t>(file, header + 20);
        const std::uint32_t flags = Read<std::uint32_t>(file, header + 36);
        const std::uint32_t span = std::max(virtualSize, rawSize);
        if (rva % kPage != 0 || At(rva, span) == nullptr) {
            error = "section " + std::to_string(i) + " lies outside the image";
            return false;
        }
        const std::uint32_t copy = std::min(rawSize, virtualSize == 0 ? rawSize : virtualSize);
        if (copy != 0) {
            if (std::size_t(rawOffset) + copy > file.size()) {
                error = "section " + std::to_string(i) + " runs past the end of the file";
                return false;
            }
            std::memcpy(At(rva, copy), file.data() + rawOffset, copy);
        }
        sections_.push_back({rva, span, flags});
    }
    return true;
}

// The base relocation blocks: HIGHLOW fields get the difference between the
// base the image got and the one it was linked for.
bool Image::Relocate(std::string& error)
{
    const std::uint32_t delta = base_ - preferredBase_;
    if (delta == 0)
        return true;
    std::uint32_t rva = directories_[kRelocationDirectory][0];
    const std::uint32_t end = rva + directories_[kRelocationDirectory][1];
    while (rva + 8 <= end) {
        const std::uint32_t page = Word(rva);
        const std::uint32_t blockSize = Word(rva + 4);
        if (blockSize < 8 || rva + blockSize > end) {
            error = "a malformed base relocation block at " + Hex(rva);
            return false;
        }
        for (std::uint32_t at = rva + 8; at + 2 <= rva + blockSize; at += 2) {
            std::uint16_t entry;
            std::memcpy(&entry, At(at, 2), 2);
            const std::uint16_t type = entry >> 12;
            if (type == kRelocationAbsolute)
                continue;
            if (type != kRelocationHighLow) {
                error = "base relocation of type " + std::to_string(type) + " is not for a 32-bit x86 image";
                return false;
            }
            std::uint8_t* field = At(page + (entry & 0xFFF), 4);
            if (field == nullptr) {
                error = "a base relocation outside the image";
                return false;
            }
            std::uint32_t value;
            std::memcpy(&value, field, 4);
            value += delta;
            std::memcpy(field, &value, 4);
            ++relocationsApplied_;
        }
        rva += blockSize;
    }
    return true;
}

bool Image::BindImports(std::string& error)
{
    std::uint32_t descriptor = directories_[kImportDirectory][0];
    if (descriptor == 0)
        return true;
    for (;; descriptor += 20) {
        const std::uint32_t lookup = Word(descriptor);
        const std::uint32_t nameRva = Word(descriptor + 12);
        const std::uint32_t addresses = Word(descriptor + 16);
        if (nameRva == 0 && addresses == 0)
            return true;
        const char* module = reinterpret_cast<const char*>(At(nameRva, 1));
        if (module == nullptr || addresses == 0) {
            error = "a malformed import descriptor at " + Hex(descriptor);
            return false;
        }
        const std::uint32_t names = lookup != 0 ? lookup : addresses;
        for (std::uint32_t i = 0;; ++i) {
            const std::uint32_t thunk = Word(names + 4 * i);
            if (thunk == 0)
                break;
            if (thunk & 0x80000000u) {
                error = std::string("unknown import ") + module + "!#" + std::to_string(thunk & 0xFFFF) +
                        " (by ordinal)";
                return false;
            }
            const char* name = reinterpret_cast<const char*>(At(thunk + 2, 1));
            const StandIn* standIn = name != nullptr ? FindStandIn(module, name) : nullptr;
            if (standIn == nullptr) {
                error = std::string("unknown import ") + module + "!" + (name != nullptr ? name : "?");
                return false;
            }
            const auto address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(standIn->address));
            std::memcpy(At(addresses + 4 * i, 4), &address, 4);
            imports_.push_back({module, name, standIn->kind});
        }
    }
}

bool Image::ReadExports(std::string& error)
{
    const std::uint32_t directory = directories_[kExportDirectory][0];
    if (directory == 0 || At(directory, 40) == nullptr) {
        error = "the DLL exports nothing";
        return false;
    }
    const char* name = reinterpret_cast<const char*>(At(Word(directory + 12), 1));
    moduleName_ = name != nullptr ? name : "";
    ordinalBase_ = Word(directory + 16);
    const std::uint32_t functionCount = Word(directory + 20);
    const std::uint32_t nameCount = Word(directory + 24);
    const std::uint32_t functions = Word(directory + 28);
    const std::uint32_t names = Word(directory + 32);
    const std::uint32_t ordinals = Word(directory + 36);
    if (At(functions, 4 * functionCount) == nullptr || At(names, 4 * nameCount) == nullptr ||
        At(ordinals, 2 * nameCount) == nullptr) {
        error = "a malformed export directory";
        return false;
    }
    for (std::uint32_t i = 0; i < functionCount; ++i)
        exportAddresses_.push_back(Word(functions + 4 * i));
    for (std::uint32_t i = 0; i < nameCount; ++i) {
        const char* exportName = reinterpret_cast<const char*>(At(Word(names + 4 * i), 1));
        std::uint16_t index;
        std::memcpy(&index, At(ordinals + 2 * i, 2), 2);
        if (exportName != nullptr)
            exportNames_.emplace_back(exportName, index);
    }
    return true;
}

std::uint32_t Image::ExportByOrdinal(std::uint32_t ordinal) const
{
    if (ordinal < ordinalBase_ || ordinal - ordinalBase_ >= exportAddresses_.size())
        return 0;
    const std::uint32_t rva = exportAddresses_[ordinal - ordinalBase_];
    return rva != 0 ? base_ + rva : 0;
}

std::uint32_t Image::ExportByName(const std::string& name) const
{
    for (const auto& [exportName, index] : exportNames_)
        if (exportName == name)
            return ExportByOrdinal(ordinalBase_ + index);
    return 0;
}

// The thread's copy of the image's TLS data (the template, then zeros), at
// index 0 of its TLS array, and the index written where the image asks.
bool Image::PrepareTls(std::string& error)
{
    const std::uint32_t directory = directories_[kTlsDirectory][0];
    if (directory == 0)
        return true;
    if (At(directory, 24) == nullptr) {
        error = "a malformed TLS directory";
        return false;
    }
    const std::uint32_t start = Word(directory) - base_;
    const std::uint32_t end = Word(directory + 4) - base_;
    const std::uint32_t indexAt = Word(directory + 8) - base_;
    const std::uint32_t zeroFill = Word(directory + 16);
    tlsCallbacks_ = Word(directory + 12);
    if (end < start || At(start, end - start) == nullptr || At(indexAt, 4) == nullptr) {
        error = "the TLS directory points outside the image";
        return false;
    }
    tlsData_.assign(At(start, end - start), At(start, end - start) + (end - start));
    tlsData_.resize(tlsData_.size() + zeroFill + 4, 0);
    const std::uint32_t index = 0;
    std::memcpy(At(indexAt, 4), &index, 4);
    SetThreadTlsSlot(index, tlsData_.data());
    return true;
}

bool Image::Protect(std::string& error)
{
    const std::uint32_t pages = (imageSize_ + kPage - 1) / kPage;
    pageProtection_.assign(pages, 0x01);   // PAGE_NOACCESS between sections
    const std::uint32_t headerPages = (headersSize_ + kPage - 1) / kPage;
    for (std::uint32_t p = 0; p < headerPages; ++p)
        pageProtection_[p] = 0x02;
    if (mprotect(At(0, 1), pages * kPage, PROT_NONE) != 0 || mprotect(At(0, 1), headerPages * kPage, PROT_READ) != 0) {
        error = "mprotect failed on the headers";
        return false;
    }
    for (const Section& s : sections_) {
        const std::uint32_t sectionPages = (s.size + kPage - 1) / kPage;
        if (sectionPages == 0)
            continue;
        if (mprotect(At(s.rva, 1), sectionPages * kPage, LinuxProtection(s.characteristics)) != 0) {
            error = "mprotect failed on the section at " + Hex(s.rva);
            return false;
        }
        for (std::uint32_t p = 0; p < sectionPages; ++p)
            pageProtection_[s.rva / kPage + p] = WindowsProtection(s.characteristics);
    }
    SetImagePages(base_, pages, pageProtection_.data());
    return true;
}

void Image::CallTlsCallbacks(std::uint32_t reason)
{
    if (tlsCallbacks_ == 0)
        return;
    for (std::uint32_t i = 0;; ++i) {
        const std::uint32_t callback = Word(tlsCallbacks_ - base_ + 4 * i);
        if (callback == 0)
            break;
        const std::uint32_t words[3] = {base_, reason, 0};
        CheckedCall(reason == kProcessAttach ? "a TLS callback (process attach)" : "a TLS callback (process detach)",
                    callback, Convention::Stdcall, 0, words, 3);
    }
}

bool Image::Attach(std::string& error)
{
    CallTlsCallbacks(kProcessAttach);
    if (entryPoint_ == 0)
        return true;
    const std::uint32_t words[3] = {base_, kProcessAttach, 0};
    const auto result = static_cast<std::uint32_t>(
        CheckedCall("DllMain (process attach)", base_ + entryPoint_, Convention::Stdcall, 0, words, 3));
    if (result == 0) {
        error = "DllMain (process attach) returned FALSE";
        return false;
    }
    return true;
}

void Image::Detach()
{
    if (entryPoint_ != 0) {
        const std::uint32_t words[3] = {base_, kProcessDetach, 0};
        CheckedCall("DllMain (process detach)", base_ + entryPoint_, Convention::Stdcall, 0, words, 3);
    }
    CallTlsCallbacks(kProcessDetach);
}

} // namespace korvax::pe
