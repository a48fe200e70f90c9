// The image loader on kwdrv.sys as built, and on copies of it broken the ways a bad link or a
// damaged file breaks an image: each must fail to load with the kernel's status and a message
// naming what is wrong, and leave nothing mapped.
#include "loader/loader.h"
#include "loader/pe.h"
#include "loader/tib_segment.h"

#include <usbdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

namespace {

namespace pe = sim::loader::pe;

std::vector<uint8_t> ReadImage() {
    std::ifstream in(KWDRV_IMAGE_PATH, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Reads and edits a PE file in memory by RVA, as the tests below break it.
class PeFile {
public:
    explicit PeFile(std::vector<uint8_t> bytes) : b_(std::move(bytes)) {
        uint32_t ntOffset = Get<uint32_t>(0x3C);
        fh_ = ntOffset + 4;
        opt_ = fh_ + sizeof(pe::FileHeader);
        sections_ = opt_ + Get<uint16_t>(fh_ + offsetof(pe::FileHeader, SizeOfOptionalHeader));
    }
    template <class T> T Get(size_t offset) const {
        T v;
        std::memcpy(&v, b_.data() + offset, sizeof v);
        return v;
    }
    template <class T> void Put(size_t offset, T v) { std::memcpy(b_.data() + offset, &v, sizeof v); }
    pe::OptionalHeader32 Optional() const { return Get<pe::OptionalHeader32>(opt_); }
    size_t OptionalOffset() const { return opt_; }
    // The file offset of an RVA inside a section's raw data.
    size_t At(uint32_t rva) const {
        for (uint16_t i = 0; i < Get<uint16_t>(fh_ + offsetof(pe::FileHeader, NumberOfSections)); ++i) {
            auto s = Get<pe::SectionHeader>(sections_ + i * sizeof(pe::SectionHeader));
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData) return s.PointerToRawData + rva - s.VirtualAddress;
        }
        ADD_FAILURE() << "RVA " << rva << " is in no section's raw data";
        return 0;
    }
    // The file offset of the string `text` at an RVA the import directory names.
    size_t FindImportString(const std::string& text) const {
        pe::DataDirectory dir = Optional().Directory[pe::kDirImport];
        for (uint32_t rva = dir.VirtualAddress;; rva += sizeof(pe::ImportDescriptor)) {
            auto d = Get<pe::ImportDescriptor>(At(rva));
            if (d.Name == 0) break;
            if (text == reinterpret_cast<const char*>(b_.data() + At(d.Name))) return At(d.Name);
            for (uint32_t t = d.OriginalFirstThunk;; t += 4) {
                uint32_t thunk = Get<uint32_t>(At(t));
                if (thunk == 0) break;
                if (text == reinterpret_cast<const char*>(b_.data() + At(thunk + 2))) return At(thunk + 2);
            }
        }
        ADD_FAILURE() << text << " is not in the import directory";
        return 0;
    }
    // The file offset of the first HIGHLOW relocation's 16-bit entry, and the RVA it fixes.
    std::pair<size_t, uint32_t> FirstRelocation() const {
        pe::DataDirectory dir = Optional().Directory[pe::kDirBaseReloc];
        size_t block = At(dir.VirtualAddress);
        auto header = Get<pe::BaseRelocationBlock>(block);
        for (size_t off = sizeof header; off < header.SizeOfBlock; off += 2) {
            uint16_t e = Get<uint16_t>(block + off);
            if ((e >> 12) == pe::kRelHighLow) return {block + off, header.VirtualAddress + (e & 0xFFF)};
        }
        ADD_FAILURE() << "the first relocation block has no HIGHLOW entry";
        return {0, 0};
    }
    std::vector<uint8_t>& Bytes() { return b_; }

private:
    std::vector<uint8_t> b_;
    size_t fh_ = 0, opt_ = 0, sections_ = 0;
};

// The permissions of the mapping that holds `address` ("r-x", "rw-" ...), or "unmapped".
std::string Permissions(uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream in(line);
        uintptr_t lo, hi;
        char dash;
        std::string perms;
        in >> std::hex >> lo >> dash >> hi >> perms;
        if (address >= lo && address < hi) return perms.substr(0, 3);
    }
    return "unmapped";
}

TEST(LoaderTest, MapsRelocatesAndBindsTheBuiltImage) {
    PeFile file(ReadImage());
    pe::OptionalHeader32 opt = file.Optional();
    sim::loader::LoadFailure failure;
    auto image = sim::loader::Image::LoadBytes("kwdrv.sys", file.Bytes(), &failure);
    ASSERT_NE(nullptr, image) << failure.message;
    EXPECT_NE(opt.ImageBase, image->Base()) << "loaded away from its base, so relocations were applied";
    EXPECT_EQ(image->Base() + opt.AddressOfEntryPoint, reinterpret_cast<uintptr_t>(image->Entry()));
    ASSERT_EQ(1u, image->Symbols().count("_DriverEntry@8"));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(image->Entry()), image->Symbols().at("_DriverEntry@8"));
    auto bound = image->Imports();
    EXPECT_NE(bound.end(), std::find(bound.begin(), bound.end(), "ntoskrnl.exe!IofCallDriver"));

    // A relocated address now points into the mapped image, by the same displacement.
    auto [entry, rva] = file.FirstRelocation();
    uint32_t linked = file.Get<uint32_t>(file.At(rva));
    uint32_t loaded;
    std::memcpy(&loaded, reinterpret_cast<void*>(image->Base() + rva), 4);
    EXPECT_EQ(linked - opt.ImageBase + image->Base(), loaded);
    (void)entry;

    // Headers and code are read-only (qemu's view of the mappings does not show execute rights;
    // that the code runs shows them).
    EXPECT_EQ("r-", Permissions(image->Base()).substr(0, 2));
    EXPECT_EQ("r-", Permissions(reinterpret_cast<uintptr_t>(image->Entry())).substr(0, 2));
    uintptr_t base = image->Base();
    image.reset();
    EXPECT_EQ("unmapped", Permissions(base));
}

TEST(LoaderTest, ImportsAreBoundByModuleAndName) {
    EXPECT_EQ(reinterpret_cast<void*>(&IofCallDriver), sim::loader::ResolveExport("NTOSKRNL.EXE", "IofCallDriver"));
    EXPECT_EQ(reinterpret_cast<void*>(&USBD_ParseConfigurationDescriptorEx),
              sim::loader::ResolveExport("USBD.SYS", "_USBD_ParseConfigurationDescriptorEx@28"));
    EXPECT_EQ(nullptr, sim::loader::ResolveExport("hal.dll", "IofCallDriver")) << "the kernel's routine is not the HAL's";
    EXPECT_EQ(nullptr, sim::loader::ResolveExport("ntoskrnl.exe", "_IofCallDriver@x"));
}

// Each case breaks one thing in a copy of the image; the load must fail with the kernel's
// status and a message that names what broke.
TEST(LoaderTest, BrokenImagesFailClearly) {
    struct Case {
        const char* what;
        std::function<void(PeFile&)> breakIt;
        NTSTATUS status;
        std::vector<std::string> message;
    };
    auto rename = [](const std::string& from, const std::string& to) {
        return [from, to](PeFile& f) { std::memcpy(f.Bytes().data() + f.FindImportString(from), to.c_str(), to.size() + 1); };
    };
    const Case cases[] = {
        {"a routine the kernel does not export", rename("KeSetEvent", "KeSetEvenX"), static_cast<NTSTATUS>(0xC0000263),
         {"KeSetEvenX", "ntoskrnl.exe", "could not be located"}},
        {"a module drivers cannot import from", rename("USBD.SYS", "USBX.SYS"), static_cast<NTSTATUS>(0xC0000135),
         {"USBX.SYS"}},
        {"a relocation of a type i386 images do not use",
         [](PeFile& f) { f.Put<uint16_t>(f.FirstRelocation().first, static_cast<uint16_t>((10 << 12) | (f.Get<uint16_t>(f.FirstRelocation().first) & 0xFFF))); },
         static_cast<NTSTATUS>(0xC000007B), {"unsupported type 10"}},
        {"a relocated word that is no address in the image",
         [](PeFile& f) { f.Put<uint32_t>(f.At(f.FirstRelocation().second), 0x1234); },
         static_cast<NTSTATUS>(0xC000007B), {"0x1234", "not an address in the image"}},
        {"a relocation block that runs past the directory",
         [](PeFile& f) { f.Put<uint32_t>(f.At(f.Optional().Directory[pe::kDirBaseReloc].VirtualAddress) + 4, 0x10000); },
         static_cast<NTSTATUS>(0xC000007B), {"bad size"}},
        {"an import directory outside the image",
         [](PeFile& f) { f.Put<uint32_t>(f.OptionalOffset() + offsetof(pe::OptionalHeader32, Directory) + 8 * pe::kDirImport, 0x7FFFFFF0); },
         static_cast<NTSTATUS>(0xC000007B), {"import directory", "outside the image"}},
        {"a file cut short", [](PeFile& f) { f.Bytes().resize(f.Bytes().size() / 2); },
         static_cast<NTSTATUS>(0xC000007B), {"beyond the end of the file"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PeFile file(ReadImage());
        c.breakIt(file);
        sim::loader::LoadFailure failure;
        auto image = sim::loader::Image::LoadBytes("kwdrv.sys", std::move(file.Bytes()), &failure);
        EXPECT_EQ(nullptr, image);
        EXPECT_EQ(c.status, failure.status);
        for (const std::string& part : c.message) EXPECT_NE(std::string::npos, failure.message.find(part)) << failure.message;
        EXPECT_EQ(0u, failure.message.rfind("kwdrv.sys: ", 0)) << failure.message;
    }
}

// Image code reaches its thread's information block through FS, as i386 kernel code does:
// FS:[0x18] is the block's own address and FS:[0] its registration list head, on every thread.
TEST(LoaderTest, EachThreadSeesItsOwnTibThroughFs) {
    sim::loader::EnableTibSegments();
    auto probe = [] {
        uint32_t self, head;
        __asm__ volatile("movl %%fs:0x18, %0" : "=r"(self));
        __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
        uint32_t mark = 0x5A5A0000u | (self & 0xFFFF);
        __asm__ volatile("movl %0, %%fs:0" : : "r"(mark) : "memory");
        auto* tib = static_cast<uint32_t*>(sim::loader::ThreadTib());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(tib), self);
        EXPECT_EQ(mark, tib[0]) << "a write through FS:[0] lands in the thread's block";
        tib[0] = head;
        return self;
    };
    uint32_t mine = probe();
    uint32_t others[2] = {};
    std::thread a([&] { others[0] = probe(); });
    std::thread b([&] { others[1] = probe(); });
    a.join();
    b.join();
    EXPECT_NE(mine, others[0]);
    EXPECT_NE(others[0], others[1]);
    std::thread c([&] { EXPECT_NE(0u, probe()) << "segments of ended threads are reused"; });
    c.join();
    std::thread d([&] {
        __asm__ volatile("movw %w0, %%fs" : : "r"(0));  // as a thread the loader did not start
        EXPECT_NE(0u, probe()) << "the first FS access of a thread without a segment gives it one";
    });
    d.join();
}

}  // namespace
