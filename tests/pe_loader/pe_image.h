#pragma once
// A 32-bit Windows DLL (PE32, i386) loaded into this process the way the
// Windows loader does it:
//   - the sections mapped at the image's preferred base (or, when asked, at
//     another one, with the base relocations applied), each with the page
//     protection its characteristics give it, the headers read-only;
//   - every import bound by name to the loader's stand-ins (stand_ins.h); an
//     import without one, or one by ordinal, stops the load naming it;
//   - the image's TLS data given to the thread, then its TLS callbacks and its
//     entry point (DllMain) called for process attach, all through the checking
//     trampoline (checked_call.h);
//   - the export directory read: exports by name and by ordinal.
// Detach calls the entry point and the TLS callbacks for process detach. The
// mapping stays until the program ends.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvax::pe {

struct BoundImport {
    std::string module;
    std::string name;
    std::string kind;   // the stand-in's kind: convention and argument count, or data shape
};

class Image {
public:
    // Maps, relocates and binds `path`; null with `error` set on any failure.
    static std::unique_ptr<Image> Load(const std::string& path, bool elsewhere, std::string& error);

    // TLS callbacks, then DllMain, for process attach; false with `error` set
    // when DllMain reports failure.
    bool Attach(std::string& error);
    // DllMain, then the TLS callbacks, for process detach.
    void Detach();

    std::uint32_t Base() const { return base_; }
    std::uint32_t PreferredBase() const { return preferredBase_; }
    std::uint32_t RelocationsApplied() const { return relocationsApplied_; }
    const std::string& ModuleName() const { return moduleName_; }
    const std::vector<BoundImport>& Imports() const { return imports_; }

    // An export's address, or 0 when there is none of that name or ordinal.
    std::uint32_t ExportByName(const std::string& name) const;
    std::uint32_t ExportByOrdinal(std::uint32_t ordinal) const;

private:
    Image() = default;
    bool Map(const std::vector<std::uint8_t>& file, bool elsewhere, std::string& error);
    bool Relocate(std::string& error);
    bool BindImports(std::string& error);
    bool Protect(std::string& error);
    bool ReadExports(std::string& error);
    bool PrepareTls(std::string& error);
    void CallTlsCallbacks(std::uint32_t reason);

    // The image's memory at `rva`, when `size` bytes fit inside the image.
    std::uint8_t* At(std::uint32_t rva, std::uint32_t size) const;
    std::uint32_t Word(std::uint32_t rva) const;

    struct Section {
        std::uint32_t rva;
        std::uint32_t size;
        std::uint32_t characteristics;
    };

    std::uint32_t base_ = 0;
    std::uint32_t preferredBase_ = 0;
    std::uint32_t imageSize_ = 0;
    std::uint32_t headersSize_ = 0;
    std::uint32_t entryPoint_ = 0;   // RVA, 0 when none
    std::uint32_t directories_[16][2] = {};
    std::vector<Section> sections_;
    std::vector<std::uint32_t> pageProtection_;
    std::uint32_t relocationsApplied_ = 0;
    std::string moduleName_;
    std::uint32_t ordinalBase_ = 0;
    std::vector<std::uint32_t> exportAddresses_;               // RVAs, by ordinal - base
    std::vector<std::pair<std::string, std::uint32_t>> exportNames_;   // name, ordinal - base
    std::vector<BoundImport> imports_;
    std::vector<std::uint8_t> tlsData_;
    std::uint32_t tlsCallbacks_ = 0;   // address of the callback list, 0 when none
};

} // namespace korvax::pe
