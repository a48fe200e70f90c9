// Maps a PE32 driver image into the process the way the kernel's loader does. Every offset
// and size read from the file is checked against the file or the image before it is used.
#include "loader/loader.h"

#include "loader/pe.h"
#include "loader/tib_segment.h"

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace sim::loader {

namespace {

constexpr NTSTATUS kObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kConflictingAddresses = static_cast<NTSTATUS>(0xC0000018);
constexpr NTSTATUS kInvalidImageFormat = static_cast<NTSTATUS>(0xC000007B);
constexpr NTSTATUS kDllNotFound = static_cast<NTSTATUS>(0xC0000135);
constexpr NTSTATUS kDriverOrdinalNotFound = static_cast<NTSTATUS>(0xC0000262);
constexpr NTSTATUS kDriverEntrypointNotFound = static_cast<NTSTATUS>(0xC0000263);
constexpr size_t kPage = 0x1000;

struct Failed {
    NTSTATUS status;
    std::string message;
};

std::string Hex(uint32_t v) {
    std::ostringstream o;
    o << "0x" << std::hex << v;
    return o.str();
}

bool KnownModule(const std::string& lower) {
    return lower == "ntoskrnl.exe" || lower == "hal.dll" || lower == "usbd.sys";
}

}  // namespace

// One load in progress: the file, the mapping, and the steps in the kernel's order.
class Mapper {
public:
    Mapper(std::string name, std::vector<uint8_t> file) : name_(std::move(name)), file_(std::move(file)) {}
    ~Mapper() {
        if (map_ != nullptr) munmap(map_, size_);
    }

    std::unique_ptr<Image> Run(uintptr_t base) {
        ReadHeaders();
        Map(base);
        CopySections();
        Relocate();
        BindImports();
        ReadSymbols();
        Protect();
        EnableTibSegments();  // the image's exception handling addresses FS
        auto image = std::unique_ptr<Image>(new Image());
        image->base_ = map_;
        image->size_ = size_;
        image->name_ = name_;
        image->entry_ = reinterpret_cast<PDRIVER_INITIALIZE>(map_ + opt_.AddressOfEntryPoint);
        image->symbols_ = std::move(symbols_);
        image->imports_ = std::move(imports_);
        map_ = nullptr;
        return image;
    }

private:
    [[noreturn]] void Fail(NTSTATUS status, const std::string& what) const {
        throw Failed{status, name_ + ": " + what};
    }

    // A view of `size` bytes at `offset` of the file; fails if it is not all there.
    const uint8_t* FileAt(uint64_t offset, uint64_t size, const char* what) const {
        if (offset + size > file_.size()) Fail(kInvalidImageFormat, std::string(what) + " lies beyond the end of the file");
        return file_.data() + offset;
    }
    // A view of `size` bytes at `rva` of the mapped image; fails if it is not all inside.
    uint8_t* ImageAt(uint64_t rva, uint64_t size, const std::string& what) const {
        if (rva + size > size_) Fail(kInvalidImageFormat, what + " at RVA " + Hex(static_cast<uint32_t>(rva)) + " lies outside the image");
        return map_ + rva;
    }
    std::string StringAt(uint32_t rva, const std::string& what) const {
        uint8_t* p = ImageAt(rva, 1, what);
        size_t room = size_ - rva;
        size_t n = strnlen(reinterpret_cast<const char*>(p), room);
        if (n == room) Fail(kInvalidImageFormat, what + " is not terminated inside the image");
        return std::string(reinterpret_cast<const char*>(p), n);
    }

    void ReadHeaders() {
        uint16_t mz;
        uint32_t peOffset;
        std::memcpy(&mz, FileAt(0, 2, "the DOS header"), 2);
        std::memcpy(&peOffset, FileAt(0x3C, 4, "the DOS header"), 4);
        uint32_t signature;
        std::memcpy(&signature, FileAt(peOffset, 4, "the PE signature"), 4);
        if (mz != pe::kDosMagic || signature != pe::kNtSignature) Fail(kInvalidImageFormat, "not a PE image");
        std::memcpy(&fh_, FileAt(peOffset + 4, sizeof fh_, "the file header"), sizeof fh_);
        if (fh_.Machine != pe::kMachineI386) Fail(kInvalidImageFormat, "not an i386 image (machine " + Hex(fh_.Machine) + ")");
        if (fh_.SizeOfOptionalHeader < offsetof(pe::OptionalHeader32, Directory)) Fail(kInvalidImageFormat, "optional header too short");
        const uint8_t* o = FileAt(peOffset + 4 + sizeof fh_, fh_.SizeOfOptionalHeader, "the optional header");
        std::memcpy(&opt_, o, std::min<size_t>(sizeof opt_, fh_.SizeOfOptionalHeader));
        if (opt_.Magic != pe::kPe32Magic) Fail(kInvalidImageFormat, "not a PE32 image");
        if (opt_.Subsystem != pe::kSubsystemNative) Fail(kInvalidImageFormat, "not a native (kernel-mode) image");
        if (opt_.NumberOfRvaAndSizes > 16) opt_.NumberOfRvaAndSizes = 16;
        for (uint32_t i = opt_.NumberOfRvaAndSizes; i < 16; ++i) opt_.Directory[i] = {};
        if (opt_.SizeOfImage == 0 || opt_.SizeOfImage > (64u << 20) || opt_.SizeOfHeaders > opt_.SizeOfImage)
            Fail(kInvalidImageFormat, "implausible SizeOfImage " + Hex(opt_.SizeOfImage));
        const uint8_t* s = FileAt(peOffset + 4 + sizeof fh_ + fh_.SizeOfOptionalHeader,
                                  uint64_t{fh_.NumberOfSections} * sizeof(pe::SectionHeader), "the section table");
        sections_.resize(fh_.NumberOfSections);
        std::memcpy(sections_.data(), s, sections_.size() * sizeof(pe::SectionHeader));
    }

    void Map(uintptr_t base) {
        size_ = (opt_.SizeOfImage + kPage - 1) & ~(kPage - 1);
        if (base == 0) {
            // Anywhere but the preferred base: reserve one page more and skip the first page
            // if the kernel happened to hand out exactly the preferred address.
            void* p = mmap(nullptr, size_ + kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) Fail(STATUS_INSUFFICIENT_RESOURCES, "cannot map " + Hex(static_cast<uint32_t>(size_)) + " bytes");
            auto* at = static_cast<uint8_t*>(p);
            if (reinterpret_cast<uintptr_t>(at) == opt_.ImageBase) {
                munmap(at, kPage);
                at += kPage;
            } else {
                munmap(at + size_, kPage);
            }
            map_ = at;
        } else {
            void* p = mmap(reinterpret_cast<void*>(base), size_, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
            if (p == MAP_FAILED || p != reinterpret_cast<void*>(base)) {
                if (p != MAP_FAILED) munmap(p, size_);
                Fail(kConflictingAddresses, "cannot map the image at " + Hex(static_cast<uint32_t>(base)));
            }
            map_ = static_cast<uint8_t*>(p);
        }
    }

    void CopySections() {
        std::memcpy(map_, FileAt(0, opt_.SizeOfHeaders, "the headers"), opt_.SizeOfHeaders);
        for (const pe::SectionHeader& s : sections_) {
            std::string what = "section " + SectionName(s);
            uint32_t virt = std::max(s.VirtualSize, s.SizeOfRawData);
            ImageAt(s.VirtualAddress, virt, what);
            if (s.VirtualAddress < opt_.SizeOfHeaders) Fail(kInvalidImageFormat, what + " overlaps the headers");
            uint32_t raw = (s.Characteristics & pe::kScnUninitialized) ? 0 : std::min(s.SizeOfRawData, virt);
            if (raw != 0) std::memcpy(map_ + s.VirtualAddress, FileAt(s.PointerToRawData, raw, what.c_str()), raw);
        }
    }

    static std::string SectionName(const pe::SectionHeader& s) {
        return std::string(s.Name, strnlen(s.Name, sizeof s.Name));
    }

    // Type 3 (HIGHLOW) adds the displacement to a 32-bit address; type 0 pads a block. A
    // relocation outside the image, of another type, or whose address does not point into
    // the image as linked is a corrupt image.
    void Relocate() {
        const pe::DataDirectory& dir = opt_.Directory[pe::kDirBaseReloc];
        uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(map_)) - opt_.ImageBase;
        if (dir.Size == 0) {
            if (delta != 0) Fail(kInvalidImageFormat, "has no base relocations and cannot be loaded away from its base");
            return;
        }
        uint8_t* p = ImageAt(dir.VirtualAddress, dir.Size, "the relocation directory");
        uint8_t* end = p + dir.Size;
        while (p + sizeof(pe::BaseRelocationBlock) <= end) {
            pe::BaseRelocationBlock block;
            std::memcpy(&block, p, sizeof block);
            if (block.SizeOfBlock < sizeof block || block.SizeOfBlock > static_cast<size_t>(end - p) || block.SizeOfBlock % 2 != 0)
                Fail(kInvalidImageFormat, "relocation block at page " + Hex(block.VirtualAddress) + " has a bad size");
            for (size_t off = sizeof block; off < block.SizeOfBlock; off += 2) {
                uint16_t entry;
                std::memcpy(&entry, p + off, 2);
                ApplyRelocation(block.VirtualAddress, entry, delta);
            }
            p += block.SizeOfBlock;
        }
    }

    void ApplyRelocation(uint32_t page, uint16_t entry, uint32_t delta) {
        uint16_t type = entry >> 12;
        uint32_t rva = page + (entry & 0xFFF);
        if (type == pe::kRelAbsolute) return;
        if (type != pe::kRelHighLow) Fail(kInvalidImageFormat, "relocation of unsupported type " + std::to_string(type) + " at RVA " + Hex(rva));
        uint8_t* at = ImageAt(rva, 4, "relocation");
        uint32_t value;
        std::memcpy(&value, at, 4);
        if (value < opt_.ImageBase || value - opt_.ImageBase > opt_.SizeOfImage)
            Fail(kInvalidImageFormat, "relocation at RVA " + Hex(rva) + " holds " + Hex(value) + ", which is not an address in the image");
        value += delta;
        std::memcpy(at, &value, 4);
    }

    void BindImports() {
        const pe::DataDirectory& dir = opt_.Directory[pe::kDirImport];
        if (dir.Size == 0) return;
        for (uint32_t rva = dir.VirtualAddress;; rva += sizeof(pe::ImportDescriptor)) {
            pe::ImportDescriptor d;
            std::memcpy(&d, ImageAt(rva, sizeof d, "the import directory"), sizeof d);
            if (d.Name == 0 && d.FirstThunk == 0) break;
            std::string module = StringAt(d.Name, "an import's module name");
            std::string lower = module;
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (!KnownModule(lower)) Fail(kDllNotFound, "imports from " + module + ", which the kernel does not provide to drivers");
            BindModule(module, d);
        }
    }

    void BindModule(const std::string& module, const pe::ImportDescriptor& d) {
        uint32_t lookup = d.OriginalFirstThunk != 0 ? d.OriginalFirstThunk : d.FirstThunk;
        for (uint32_t i = 0;; ++i) {
            uint32_t thunk;
            std::memcpy(&thunk, ImageAt(lookup + 4 * i, 4, "an import lookup entry"), 4);
            if (thunk == 0) break;
            if (thunk & pe::kOrdinalFlag)
                Fail(kDriverOrdinalNotFound, "imports ordinal " + std::to_string(thunk & 0xFFFF) + " from " + module + " (drivers import by name)");
            std::string routine = StringAt(thunk + 2, "an import's name");
            void* target = ResolveExport(module, routine);
            if (target == nullptr)
                Fail(kDriverEntrypointNotFound, "the procedure entry point " + routine + " could not be located in " + module);
            uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(target));
            std::memcpy(ImageAt(d.FirstThunk + 4 * i, 4, "an import address entry"), &address, 4);
            imports_.push_back(module + "!" + routine);
        }
    }

    void ReadSymbols() {
        if (fh_.PointerToSymbolTable == 0 || fh_.NumberOfSymbols == 0) return;
        uint64_t table = fh_.PointerToSymbolTable;
        uint64_t strings = table + uint64_t{fh_.NumberOfSymbols} * sizeof(pe::Symbol);
        for (uint32_t i = 0; i < fh_.NumberOfSymbols; ++i) {
            pe::Symbol sym;
            std::memcpy(&sym, FileAt(table + uint64_t{i} * sizeof sym, sizeof sym, "the symbol table"), sizeof sym);
            i += sym.NumberOfAuxSymbols;
            if (sym.StorageClass != pe::kSymExternal || sym.SectionNumber <= 0 ||
                sym.SectionNumber > static_cast<int>(sections_.size()))
                continue;
            std::string name;
            if (sym.N.Long.Zeroes == 0) {
                const uint8_t* s = FileAt(strings + sym.N.Long.Offset, 1, "a symbol name");
                name.assign(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), file_.data() + file_.size() - s));
            } else {
                name.assign(sym.N.ShortName, strnlen(sym.N.ShortName, 8));
            }
            uint32_t rva = sections_[sym.SectionNumber - 1].VirtualAddress + sym.Value;
            if (rva < size_) symbols_[name] = reinterpret_cast<uintptr_t>(map_ + rva);
        }
    }

    // Headers read-only; each section as its characteristics say (discardable ones too: the
    // model never reclaims them).
    void Protect() {
        mprotect(map_, kPage, PROT_READ);
        for (const pe::SectionHeader& s : sections_) {
            uint32_t first = s.VirtualAddress & ~(kPage - 1);
            uint32_t last = (s.VirtualAddress + std::max(s.VirtualSize, s.SizeOfRawData) + kPage - 1) & ~(kPage - 1);
            int prot = 0;
            if (s.Characteristics & pe::kScnRead) prot |= PROT_READ;
            if (s.Characteristics & pe::kScnWrite) prot |= PROT_WRITE;
            if (s.Characteristics & (pe::kScnExecute | pe::kScnCode)) prot |= PROT_EXEC | PROT_READ;
            if (last > first && mprotect(map_ + first, last - first, prot) != 0)
                Fail(kInvalidImageFormat, "cannot protect section " + SectionName(s));
        }
    }

    std::string name_;
    std::vector<uint8_t> file_;
    pe::FileHeader fh_{};
    pe::OptionalHeader32 opt_{};
    std::vector<pe::SectionHeader> sections_;
    uint8_t* map_ = nullptr;
    size_t size_ = 0;
    std::map<std::string, uintptr_t> symbols_;
    std::vector<std::string> imports_;
};

std::unique_ptr<Image> Image::LoadBytes(const std::string& name, std::vector<uint8_t> file, LoadFailure* failure,
                                        uintptr_t base) {
    try {
        Mapper m(name, std::move(file));
        return m.Run(base);
    } catch (const Failed& f) {
        if (failure != nullptr) *failure = {f.status, f.message};
        return nullptr;
    }
}

std::unique_ptr<Image> Image::Load(const std::string& path, LoadFailure* failure, uintptr_t base) {
    std::ifstream in(path, std::ios::binary);
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (!in) {
        if (failure != nullptr) *failure = {kObjectNameNotFound, path + ": cannot open the image"};
        return nullptr;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return LoadBytes(name, std::move(bytes), failure, base);
}

Image::~Image() {
    if (base_ != nullptr) munmap(base_, size_);
}

}  // namespace sim::loader
