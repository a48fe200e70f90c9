// The kernel's image loader, for the 32-bit model built with Windows' calling conventions
// (KWDRV_WINDOWS_ABI): maps a driver image (kwdrv.sys) as its headers say, applies its base
// relocations, binds each import by module and name to the model's routine, gives each
// section its protection, and hands out the entry point, which sim::LoadDriver calls as the
// I/O manager calls DriverEntry.
//
// A load that cannot succeed fails with the status the kernel gives and a message naming
// what is wrong (the module and routine of an import the model does not provide, the
// relocation that points outside the image ...); nothing of the image stays mapped.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim::loader {

struct LoadFailure {
    NTSTATUS status = STATUS_SUCCESS;
    std::string message;  // "kwdrv.sys: ..."
};

class Image {
public:
    // Maps the file at `path`. `base` 0 lets the loader choose an address (never the image's
    // preferred one, so that the relocations are always exercised); otherwise the image is
    // mapped exactly there or the load fails. Returns nullptr and fills *failure on failure.
    static std::unique_ptr<Image> Load(const std::string& path, LoadFailure* failure, uintptr_t base = 0);
    // The same from bytes already in memory (`name` names the image in messages).
    static std::unique_ptr<Image> LoadBytes(const std::string& name, std::vector<uint8_t> file,
                                            LoadFailure* failure, uintptr_t base = 0);
    ~Image();
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    PDRIVER_INITIALIZE Entry() const { return entry_; }
    uintptr_t Base() const { return reinterpret_cast<uintptr_t>(base_); }
    size_t Size() const { return size_; }
    const std::string& Name() const { return name_; }
    // External symbols of the image's COFF symbol table, by their names in the image
    // ("_DriverEntry@8", "_KwAllocatePool"), at their loaded addresses. Empty for a stripped image.
    const std::map<std::string, uintptr_t>& Symbols() const { return symbols_; }
    // Imports bound, as "module!routine".
    const std::vector<std::string>& Imports() const { return imports_; }

private:
    Image() = default;
    uint8_t* base_ = nullptr;
    size_t size_ = 0;
    std::string name_;
    PDRIVER_INITIALIZE entry_ = nullptr;
    std::map<std::string, uintptr_t> symbols_;
    std::vector<std::string> imports_;
    friend class Mapper;
};

// The model's routine that `module!routine` binds to, or nullptr. Module names compare
// without case; a decorated name (_Name@8, @Name@4) binds like the plain one.
void* ResolveExport(const std::string& module, const std::string& routine);

}  // namespace sim::loader
