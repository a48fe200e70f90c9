// A simulated user-mode address space. User buffers live at addresses inside a region reserved
// with no access rights, so driver code that dereferences a user address directly faults instead
// of silently reading host memory; each buffer is backed by separate host memory that the model
// (the I/O manager, MmProbeAndLockPages, the application itself) reaches through a lookup.
// Every address outside the reserved regions is a "kernel address" (host memory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace sim::app {

class AddressSpace {
public:
    static constexpr size_t kPageSize = 0x1000;
    static constexpr size_t kDefaultReserve = size_t{64} << 20;

    enum class Access { Read, Write };

    // Reserves `reserveBytes` of address space (rounded up to pages). The region sits below
    // 2 GB where the host allows it, as a 32-bit Windows process's user range does.
    explicit AddressSpace(size_t reserveBytes = kDefaultReserve);
    // Bug check (ProcessHasLockedPages) if an MDL still holds pages of this space locked.
    ~AddressSpace();
    AddressSpace(const AddressSpace&) = delete;
    AddressSpace& operator=(const AddressSpace&) = delete;

    // A new buffer of `bytes` bytes that starts `pageOffset` bytes into a fresh page, filled
    // with 0xBE (user heap is not zeroed). Each buffer is followed by an unallocated guard page.
    uintptr_t Allocate(size_t bytes, size_t pageOffset = 0, bool readOnly = false);
    // Releases a buffer (its start address). Pages an MDL holds locked stay backed until the
    // MDL is unlocked, as locked physical pages survive VirtualFree on Windows.
    void Free(uintptr_t address);

    // The host memory behind [address, address + length), or nullptr unless every byte lies
    // inside one live buffer that permits `access`. A zero length needs `address` to lie inside
    // a buffer or at its end.
    void* Translate(uintptr_t address, size_t length, Access access) const;
    // Copies as the application would; false (nothing copied) when the range is not valid.
    bool CopyIn(uintptr_t address, const void* source, size_t length);
    bool CopyOut(void* destination, uintptr_t address, size_t length) const;

    // Pins the buffer holding [address, address + length) as MmProbeAndLockPages does and
    // returns its host memory, or nullptr (nothing pinned) when the range is not valid.
    void* Lock(uintptr_t address, size_t length, Access access, uint64_t* pin);
    void Unlock(uint64_t pin);
    size_t LockedBuffers() const;

    bool Contains(uintptr_t address) const { return address >= base_ && address < base_ + size_; }
    uintptr_t Base() const { return base_; }
    size_t Size() const { return size_; }

private:
    struct Buffer {
        uintptr_t start = 0;  // first user address
        size_t bytes = 0;
        size_t pages = 0;     // pages reserved for it, its guard page included
        uintptr_t slot = 0;   // first page of its slot
        struct FreeHost {
            void operator()(unsigned char* p) const { std::free(p); }
        };
        std::unique_ptr<unsigned char, FreeHost> backing;  // exactly `bytes` long
        bool readOnly = false;
        bool freed = false;
        uint32_t locks = 0;
        uint64_t id = 0;
    };
    const Buffer* Find(uintptr_t address, size_t length, Access access) const;
    uintptr_t TakePages(size_t pages);
    void ReturnPages(uintptr_t slot, size_t pages);
    void Release(std::map<uintptr_t, Buffer>::iterator it);

    uintptr_t base_ = 0;
    size_t size_ = 0;
    uintptr_t next_ = 0;  // first never-used page
    std::map<uintptr_t, size_t> freeRuns_;  // slot -> pages, for reuse once the region is used up
    std::map<uintptr_t, Buffer> buffers_;   // keyed by start address
    uint64_t nextId_ = 1;
    mutable std::mutex m_;
};

// The address space whose reserved region contains `address`, or nullptr (a kernel address).
AddressSpace* AddressSpaceContaining(uintptr_t address);
inline bool IsUserAddress(const void* p) { return AddressSpaceContaining(reinterpret_cast<uintptr_t>(p)) != nullptr; }

// The process context of the calling thread: the address space whose user addresses are valid
// in it, or nullptr in a system thread (the DPC thread, a worker, a test thread outside a call).
AddressSpace* CurrentAddressSpace();

// While it lives, the calling thread runs in the context of `space`'s process.
class ProcessContext {
public:
    explicit ProcessContext(AddressSpace* space);
    ~ProcessContext();
    ProcessContext(const ProcessContext&) = delete;
    ProcessContext& operator=(const ProcessContext&) = delete;

private:
    AddressSpace* previous_;
};

}  // namespace sim::app
