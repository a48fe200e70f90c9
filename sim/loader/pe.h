// The parts of the PE32 format the image loader reads: the DOS stub's pointer to the NT
// headers, the file and optional headers, the section table, the import and base-relocation
// directories and the COFF symbol table. Layouts are the format's own (packed where the
// format does not align).
#pragma once

#include <cstdint>

namespace sim::loader::pe {

constexpr uint16_t kDosMagic = 0x5A4D;       // "MZ"
constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kPe32Magic = 0x010B;
constexpr uint16_t kSubsystemNative = 1;

constexpr uint32_t kDirImport = 1;
constexpr uint32_t kDirBaseReloc = 5;
constexpr uint32_t kDirTls = 9;

constexpr uint32_t kScnCode = 0x00000020;
constexpr uint32_t kScnUninitialized = 0x00000080;
constexpr uint32_t kScnDiscardable = 0x02000000;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;

constexpr uint16_t kRelAbsolute = 0;
constexpr uint16_t kRelHighLow = 3;

constexpr uint32_t kOrdinalFlag = 0x80000000;

struct FileHeader {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};

struct DataDirectory {
    uint32_t VirtualAddress;
    uint32_t Size;
};

struct OptionalHeader32 {
    uint16_t Magic;
    uint8_t MajorLinkerVersion, MinorLinkerVersion;
    uint32_t SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint, BaseOfCode, BaseOfData;
    uint32_t ImageBase, SectionAlignment, FileAlignment;
    uint16_t MajorOperatingSystemVersion, MinorOperatingSystemVersion;
    uint16_t MajorImageVersion, MinorImageVersion;
    uint16_t MajorSubsystemVersion, MinorSubsystemVersion;
    uint32_t Win32VersionValue, SizeOfImage, SizeOfHeaders, CheckSum;
    uint16_t Subsystem, DllCharacteristics;
    uint32_t SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit;
    uint32_t LoaderFlags, NumberOfRvaAndSizes;
    DataDirectory Directory[16];
};

struct SectionHeader {
    char Name[8];
    uint32_t VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData;
    uint32_t PointerToRelocations, PointerToLinenumbers;
    uint16_t NumberOfRelocations, NumberOfLinenumbers;
    uint32_t Characteristics;
};

struct ImportDescriptor {
    uint32_t OriginalFirstThunk, TimeDateStamp, ForwarderChain, Name, FirstThunk;
};

struct BaseRelocationBlock {
    uint32_t VirtualAddress;
    uint32_t SizeOfBlock;  // including this header and the 16-bit entries after it
};

#pragma pack(push, 2)
struct Symbol {
    union {
        char ShortName[8];
        struct {
            uint32_t Zeroes;
            uint32_t Offset;  // into the string table that follows the symbols
        } Long;
    } N;
    uint32_t Value;
    int16_t SectionNumber;
    uint16_t Type;
    uint8_t StorageClass;
    uint8_t NumberOfAuxSymbols;
};
#pragma pack(pop)
static_assert(sizeof(Symbol) == 18);
static_assert(sizeof(OptionalHeader32) == 224);
static_assert(sizeof(SectionHeader) == 40);

constexpr uint8_t kSymExternal = 2;

}  // namespace sim::loader::pe
