// The user side of the I/O manager: a simulated process that opens a device interface and sends
// read, write and device-control requests to the top of the device's stack, built the way
// Windows XP builds them for an application (file object, direct or buffered I/O, system buffer
// copy-back, overlapped completion, CancelIo, thread and process exit, cleanup and close).
//
// Buffers passed to requests are user addresses from the process's simulated address space
// (Alloc); a host pointer passed instead is a kernel address, which the I/O manager's probe
// refuses with STATUS_ACCESS_VIOLATION, as Windows does.
#pragma once

#include "app/address_space.h"
#include "kernel/model.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sim::app {

// A handle to an open file object; opaque and never reused within a process.
using Handle = uint32_t;
constexpr Handle kInvalidHandle = 0;

// How CreateFile is asked to open the device.
struct OpenOptions {
    bool overlapped = false;  // FILE_FLAG_OVERLAPPED; otherwise the file object does synchronous I/O
    ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE;
    ULONG shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
};

struct OpenResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Handle handle = kInvalidHandle;  // valid iff NT_SUCCESS(status)
};

// What a read, write or device-control system service returned, and the caller's I/O status
// block as the I/O manager left it. A synchronous call returns only after the request
// completed; an overlapped one may return STATUS_PENDING.
struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    bool iosbWritten = false;  // the I/O manager wrote the status block (see Process::Read)
    IO_STATUS_BLOCK iosb{};    // Status and Information as written; zero when not written
};

// An OVERLAPPED record with its event. It must outlive the request it is passed to, as on
// Windows. Issuing a request sets Internal to STATUS_PENDING and clears the event; the I/O
// manager writes Internal (status) and InternalHigh (Information) and sets the event when the
// request completes, unless it fails without having been pended (then neither is touched).
class Overlapped {
public:
    NTSTATUS Internal() const;
    ULONG_PTR InternalHigh() const;
    bool Signalled() const;
    // WaitForSingleObject(hEvent, INFINITE) under the model's watchdog.
    void Wait(const char* what = "an overlapped request to complete") const;

private:
    friend class Process;
    void Begin();
    void Report(const IO_STATUS_BLOCK& iosb);

    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    NTSTATUS internal_ = STATUS_SUCCESS;
    ULONG_PTR internalHigh_ = 0;
    bool signalled_ = false;
};

// What a request ended with: for one that went pending, waits for ov and takes the status and
// Information the I/O manager wrote there (GetOverlappedResult with bWait TRUE); one that did
// not pend is returned as it is.
IoResult AwaitResult(IoResult r, Overlapped& ov);

// "\??\X" (a kernel symbolic link name, as IoRegisterDeviceInterface returns it) as user mode
// sees it: "\\?\X".
std::u16string UserPath(const std::u16string& kernelLink);

// The security the PnP manager applies to a device's stack from its INF: the Security value
// (SDDL: access-allowed ACEs with generic rights and two-letter aliases) and the
// DeviceCharacteristics value, ORed into the characteristics of every device object of the
// stack. Without a descriptor every open is allowed.
void SetDeviceSecurity(PDEVICE_OBJECT pdo, const std::string& sddl, ULONG characteristics = 0);
void ForgetDeviceSecurity(PDEVICE_OBJECT pdo);
// The I/O manager's check of an open of the device (belowDevice false) or of a name below it
// (belowDevice true, such as "\KWDrv0"): a name below the device is checked only when a device
// object of the stack, or the INF, is FILE_DEVICE_SECURE_OPEN. STATUS_ACCESS_DENIED when the
// descriptor grants the caller's aliases less than `desired` (generic rights).
NTSTATUS CheckOpenAccess(PDEVICE_OBJECT pdo, bool belowDevice, ACCESS_MASK desired,
                         const std::set<std::string>& caller);

// One application process. Every public call is a system service made by the calling host
// thread, which is one of the process's threads (created on first use); driver code that runs
// inside the call runs in this process's context.
class Process {
public:
    explicit Process(std::string name = "app.exe", size_t addressSpaceBytes = AddressSpace::kDefaultReserve);
    // Process exit: every thread's outstanding requests are cancelled and waited for, then every
    // handle is closed (cleanup and close), then the address space goes (bug check if an MDL
    // still holds some of it locked).
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    const std::string& Name() const { return name_; }
    // The caller's identity for access checks: SDDL aliases. By default an interactive user
    // (WD, AU, IU); an administrator adds BA, a service runs as LS or NS instead of IU.
    void SetCallerGroups(std::set<std::string> groups) { groups_ = std::move(groups); }

    // User memory.
    AddressSpace& Memory() { return space_; }
    PVOID Alloc(size_t bytes, size_t pageOffset = 0, bool readOnly = false);
    void Free(PVOID address);
    void Store(PVOID address, const void* data, size_t length);  // model limit if not valid memory
    std::vector<unsigned char> Load(PVOID address, size_t length) const;

    // CreateFile(path, OPEN_EXISTING). The path is a device interface's user path plus an
    // optional remainder ("\\?\USB#...#{guid}\KWDrv0"); the interface must be enabled. Sends
    // IRP_MJ_CREATE to the top of the stack of the interface's PDO and waits for it.
    OpenResult Open(const std::u16string& path, const OpenOptions& options = {});
    // CloseHandle: IRP_MJ_CLEANUP now; IRP_MJ_CLOSE once no request holds the file object: at
    // once from the calling thread, or from the I/O manager's worker thread (a system thread) when
    // the last request completes later.
    NTSTATUS Close(Handle handle);

    // ReadFile / WriteFile at a byte offset. Direct I/O (DO_DIRECT_IO on the device at the top):
    // Irp->MdlAddress is a locked MDL over the buffer, NULL for a zero length; buffered I/O
    // (DO_BUFFERED_IO): a system buffer, copied back after a read that did not fail with an
    // error; otherwise neither: Irp->UserBuffer only. An overlapped handle needs `overlapped`
    // (STATUS_INVALID_PARAMETER otherwise, as a non-synchronous file needs a byte offset).
    // The status block is written when the final status is not an error, or when the request
    // was pended and the handle is overlapped.
    IoResult Read(Handle handle, PVOID buffer, ULONG length, LONGLONG offset = 0, Overlapped* overlapped = nullptr);
    IoResult Write(Handle handle, PVOID buffer, ULONG length, LONGLONG offset = 0, Overlapped* overlapped = nullptr);
    // DeviceIoControl, with the buffers of the code's method as Windows builds them. Without
    // `overlapped` the call waits for a pended request even on an overlapped handle.
    IoResult DeviceIoControl(Handle handle, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                             ULONG outputLength, Overlapped* overlapped = nullptr);

    // CancelIo (Windows XP): IoCancelIrp on every outstanding request of this handle issued by
    // the calling thread, then waits until each has completed.
    NTSTATUS CancelIo(Handle handle);
    // The calling thread exits: all its outstanding requests are cancelled and waited for.
    void ExitThread();
    // Waits until closes deferred to the I/O manager's worker thread have been sent.
    void Flush();

    // Observations for tests.
    PFILE_OBJECT FileObjectOf(Handle handle) const;  // nullptr for an unknown handle
    PETHREAD CurrentThread();                         // what Tail.Overlay.Thread carries for this thread
    size_t OutstandingRequests() const;

private:
    struct AppThread {
        std::thread::id host;
    };
    struct FileRec;
    struct Request;

    FileRec* Reference(Handle handle, ACCESS_MASK needed, NTSTATUS* status);
    void Dereference(FileRec* file);  // in the calling thread: sends the close when it is due
    bool CloseDueLocked(FileRec* file);
    AppThread* ThisThreadLocked();
    void LockFile(FileRec* file);
    void UnlockFile(FileRec* file);
    std::shared_ptr<Request> NewRequest(FileRec* file, UCHAR major, PDEVICE_OBJECT top, AppThread* thread);
    NTSTATUS Send(const std::shared_ptr<Request>& req, PDEVICE_OBJECT top);
    IoResult Conclude(const std::shared_ptr<Request>& req, NTSTATUS returned, bool waitIfPending);
    void Finish(const std::shared_ptr<Request>& req, PIRP irp);
    void SendSimple(FileRec* file, UCHAR major, PETHREAD thread);
    void SendClose(FileRec* file, PETHREAD thread);
    void CancelAndWait(const std::vector<std::shared_ptr<Request>>& requests);
    IoResult Transfer(UCHAR major, Handle handle, PVOID buffer, ULONG length, LONGLONG offset,
                      Overlapped* overlapped);
    void WorkerMain();

    std::string name_;
    std::set<std::string> groups_{"WD", "AU", "IU"};
    AddressSpace space_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::map<Handle, FileRec*> handles_;
    std::map<FileRec*, std::unique_ptr<FileRec>> files_;
    std::vector<std::shared_ptr<Request>> requests_;  // sent and not yet finished
    std::map<std::thread::id, std::unique_ptr<AppThread>> threads_;
    Handle nextHandle_ = 4;
    std::deque<FileRec*> closeQueue_;
    bool workerBusy_ = false;
    bool stopWorker_ = false;
    std::thread worker_;
};

}  // namespace sim::app
