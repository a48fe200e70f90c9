// cleanup.cpp - the last handle of a file object is closed: its transfers end.
//
// IRP_MJ_CLEANUP comes when the last handle to a file object is closed, in the closing thread at
// PASSIVE_LEVEL; IRP_MJ_CLOSE follows only once no request holds the file object. A read that
// the device never answers would otherwise keep the file object, and with it the pipe and the
// device, busy until the thread that issued it exits.

#include "kwdrv.h"

// Cancels every transfer of this file object that is in the USB stack (those of other handles
// are left alone) and completes with STATUS_SUCCESS, also while the device is being removed. The
// pipe stays held until IRP_MJ_CLOSE gives it back. Nothing is sent down.
_Use_decl_annotations_
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoIncrement(DeviceObject);
    PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    if (FileObject != NULL) {
        CancelTransfers(DeviceObject, FileObject, FALSE);
    }
    return FinishRequest(DeviceObject, Irp, STATUS_SUCCESS);
}
