// memory.cpp - pool blocks of the USB configuration: URBs and the retained copies of the device
// descriptor and the selected interface.
//
// A retained copy is one pool block: a KW_RETIRED header followed by the copy. The device
// extension holds the address of the copy, never of the header. Publishing a new copy links its
// header to the copy it replaces, so the current copy heads a chain of every copy the device
// has had; nothing in the chain is freed before removal, because a reader may have loaded an
// old pointer just before it was replaced.

#include "kwdrv.h"

// The copy must stay as aligned as the pool block itself.
C_ASSERT(sizeof(KW_RETIRED) % 8 == 0);

static PKW_RETIRED HeaderOf(PVOID Copy)
{
    return static_cast<PKW_RETIRED>(Copy) - 1;
}

// Allocates a zero-filled URB of NumberOfBytes from non-paged pool, or returns NULL. The
// caller fills only the fields its request needs and releases it with KwFreePool.
_Use_decl_annotations_
PURB AllocateUrb(SIZE_T NumberOfBytes)
{
    PURB Urb = static_cast<PURB>(KwAllocatePool(NumberOfBytes));
    if (Urb != NULL) {
        RtlZeroMemory(Urb, NumberOfBytes);
    }
    return Urb;
}

// Allocates a zero-filled copy of NumberOfBytes behind its own header, or returns NULL. The
// caller owns it until it hands it to PublishRetainedCopy or releases it with
// FreeUnpublishedCopy; it is never released with KwFreePool directly.
_Use_decl_annotations_
PVOID AllocateRetainedCopy(SIZE_T NumberOfBytes)
{
    SIZE_T BlockBytes = sizeof(KW_RETIRED) + NumberOfBytes;
    PKW_RETIRED Header = static_cast<PKW_RETIRED>(KwAllocatePool(BlockBytes));
    if (Header == NULL) {
        return NULL;
    }
    RtlZeroMemory(Header, BlockBytes);
    return Header + 1;
}

// Releases a copy that was never published (a failed read or selection).
_Use_decl_annotations_
VOID FreeUnpublishedCopy(PVOID Copy)
{
    KwFreePool(HeaderOf(Copy));
}

// Makes Copy the current copy in *Field and keeps the copy it replaces (with everything that
// one kept) alive behind it. The copy is complete before it becomes visible: the exchange is a
// full barrier, so a reader that loads the new pointer sees the copied bytes. The old pointer
// comes from the exchange itself, since dispatch routines read the field meanwhile; the chain
// link is written after it, which is safe because only FreeRetainedCopies follows the chain, on
// the Plug and Play thread that publishes.
_Use_decl_annotations_
VOID PublishRetainedCopy(PVOID volatile *Field, PVOID Copy)
{
    PVOID Replaced = InterlockedExchangePointer(Field, Copy);
    HeaderOf(Copy)->Next = (Replaced != NULL) ? HeaderOf(Replaced) : NULL;
}

// Frees the current copy in *Field and every copy it replaced, and leaves *Field NULL. Only
// once no reader can reach any of them: at removal, after the last request has left.
_Use_decl_annotations_
VOID FreeRetainedCopies(PVOID volatile *Field)
{
    PVOID Current = InterlockedExchangePointer(Field, NULL);
    PKW_RETIRED Header = (Current != NULL) ? HeaderOf(Current) : NULL;
    while (Header != NULL) {
        PKW_RETIRED Next = Header->Next;
        KwFreePool(Header);
        Header = Next;
    }
}

// Frees the device descriptor and interface copies of a device, current and replaced. Called
// by the removal path in place of freeing the two fields directly.
_Use_decl_annotations_
VOID FreeDeviceCopies(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    FreeRetainedCopies(reinterpret_cast<PVOID volatile *>(&Extension->DeviceDescriptor));
    FreeRetainedCopies(reinterpret_cast<PVOID volatile *>(&Extension->InterfaceInfo));
}
