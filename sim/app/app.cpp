// The user side of the I/O manager: file objects and handles, the requests an application's
// system services build, what happens when they complete (the work IopCompleteRequest does in
// the requesting thread on Windows), cancellation, thread and process exit.
#include "app/app.h"

#include "kernel/internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim::app {

using detail::Hex;

namespace {

// Generic rights mapped for file objects, as the object manager maps them before IRP_MJ_CREATE.
constexpr ACCESS_MASK kStandardRead = 0x00020000;
constexpr ACCESS_MASK kFileGenericRead = kStandardRead | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE;
constexpr ACCESS_MASK kFileGenericWrite =
    kStandardRead | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | 0x0004 /* FILE_APPEND_DATA */ | SYNCHRONIZE;
constexpr ACCESS_MASK kFileGenericExecute = kStandardRead | FILE_READ_ATTRIBUTES | 0x0020 /* FILE_EXECUTE */ | SYNCHRONIZE;
constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;
constexpr ULONG kFileOpen = 0x00000001;                    // create disposition OPEN_EXISTING maps to
constexpr ULONG kFileSynchronousIoNonalert = 0x00000020;  // create options
constexpr ULONG kFileNonDirectoryFile = 0x00000040;
constexpr USHORT kFileAttributeNormal = 0x0080;
constexpr unsigned char kPoolFill = 0xA5;  // system buffers come from pool, which is not zeroed

// The thread that sends IRP_MJ_CLOSE for a file object whose last reference went away while a
// request completed: a system worker thread, in no process.
char g_systemThread;

ACCESS_MASK MapGeneric(ACCESS_MASK a) {
    ACCESS_MASK out = a & 0x0FFFFFFF;
    if (a & GENERIC_READ) out |= kFileGenericRead;
    if (a & GENERIC_WRITE) out |= kFileGenericWrite;
    if (a & GENERIC_EXECUTE) out |= kFileGenericExecute;
    if (a & GENERIC_ALL) out |= kFileAllAccess;
    return out;
}

std::u16string Lower(std::u16string s) {
    for (auto& c : s) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return s;
}

[[noreturn]] void ModelLimit(const std::string& what) {
    std::fprintf(stderr, "\n*** model limit: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// The enabled interface whose link name is the longest prefix of `kernelPath` ending at a path
// separator, with the remainder of the path after the link's device part (its reference
// string, if any, plus what follows it).
struct Resolved {
    PDEVICE_OBJECT pdo = nullptr;
    bool enabled = false;
    std::u16string remainder;
};
bool Resolve(const std::u16string& kernelPath, Resolved* out) {
    std::u16string lower = Lower(kernelPath);
    std::lock_guard<std::mutex> g(detail::TableLock());
    const detail::InterfaceEntry* best = nullptr;
    size_t bestLength = 0;
    for (auto& [key, e] : detail::W().interfaces) {
        if (lower.compare(0, key.size(), key) != 0) continue;
        if (lower.size() != key.size() && lower[key.size()] != u'\\') continue;
        if (key.size() > bestLength) {
            best = &e;
            bestLength = key.size();
        }
    }
    if (best == nullptr) return false;
    // The symbolic link names the device ("\??\<instance>#{guid}"); a reference string is
    // part of the remaining path the device parses, so it arrives in FileName too.
    size_t deviceEnd = best->link.find(u'\\', 4);
    if (deviceEnd == std::u16string::npos) deviceEnd = best->link.size();
    out->pdo = best->pdo;
    out->enabled = best->enabled;
    out->remainder = kernelPath.substr(deviceEnd);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------------

struct Process::FileRec {
    PFILE_OBJECT fo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    bool synchronous = false;
    ACCESS_MASK granted = 0;
    bool opened = false;      // IRP_MJ_CREATE succeeded
    bool handleOpen = false;  // its handle is not closed yet
    uint32_t references = 0;  // requests in flight and calls using it
    bool busy = false;        // the file object lock of synchronous I/O
    bool closeSent = false;

    FileRec(PDEVICE_OBJECT device, const std::u16string& name, bool sync) : pdo(device), synchronous(sync) {
        fo = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
        fo->Type = IO_TYPE_FILE;
        fo->Size = sizeof(FILE_OBJECT);
        fo->DeviceObject = device;
        if (sync) fo->Flags |= FO_SYNCHRONOUS_IO;
        if (!name.empty()) {
            // As the I/O manager copies the remaining name: room for a terminator, which it adds.
            size_t bytes = (name.size() + 1) * sizeof(WCHAR);
            fo->FileName.Buffer = static_cast<PWSTR>(std::malloc(bytes));
            std::memcpy(fo->FileName.Buffer, name.data(), name.size() * sizeof(WCHAR));
            fo->FileName.Buffer[name.size()] = 0;
            fo->FileName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
            fo->FileName.MaximumLength = static_cast<USHORT>(bytes);
        }
        KeInitializeEvent(&fo->Event, NotificationEvent, FALSE);
        if (sync) KeInitializeEvent(&fo->Lock, SynchronizationEvent, FALSE);
    }
    ~FileRec() {
        std::free(fo->FileName.Buffer);
        std::memset(fo, 0xDD, sizeof(FILE_OBJECT));  // a driver holding on to it sees garbage
        std::free(fo);
    }
    FileRec(const FileRec&) = delete;
    FileRec& operator=(const FileRec&) = delete;
};

struct Process::Request {
    PIRP irp = nullptr;
    UCHAR major = 0;
    FileRec* file = nullptr;
    AppThread* thread = nullptr;  // nullptr: not on an application thread's list
    Overlapped* overlapped = nullptr;
    void* systemBuffer = nullptr;
    bool checkInformation = false;
    ULONG maxInformation = 0;
    std::multiset<std::thread::id> cancellers;  // threads inside IoCancelIrp on this request
    bool finishing = false;
    IO_STATUS_BLOCK iosb{};  // what Irp->UserIosb points to
    IO_STATUS_BLOCK final{};
    bool reported = false;
    Completion finished;
};

// ---------------------------------------------------------------------------------------------
// Overlapped
// ---------------------------------------------------------------------------------------------

NTSTATUS Overlapped::Internal() const {
    std::lock_guard<std::mutex> g(m_);
    return internal_;
}

ULONG_PTR Overlapped::InternalHigh() const {
    std::lock_guard<std::mutex> g(m_);
    return internalHigh_;
}

bool Overlapped::Signalled() const {
    std::lock_guard<std::mutex> g(m_);
    return signalled_;
}

void Overlapped::Wait(const char* what) const {
    std::unique_lock<std::mutex> l(m_);
    detail::WaitWithWatchdog(l, cv_, [this] { return signalled_; }, what);
}

void Overlapped::Begin() {
    std::lock_guard<std::mutex> g(m_);
    internal_ = STATUS_PENDING;
    internalHigh_ = 0;
    signalled_ = false;
}

void Overlapped::Report(const IO_STATUS_BLOCK& iosb) {
    std::lock_guard<std::mutex> g(m_);
    internal_ = iosb.Status;
    internalHigh_ = iosb.Information;
    signalled_ = true;
    cv_.notify_all();
}

std::u16string UserPath(const std::u16string& kernelLink) {
    if (kernelLink.compare(0, 4, u"\\??\\") != 0) return kernelLink;
    return u"\\\\?\\" + kernelLink.substr(4);
}

// ---------------------------------------------------------------------------------------------
// Process: memory, threads, references
// ---------------------------------------------------------------------------------------------

Process::Process(std::string name, size_t addressSpaceBytes) : name_(std::move(name)), space_(addressSpaceBytes) {
    worker_ = std::thread([this] { WorkerMain(); });
}

Process::~Process() {
    std::vector<std::shared_ptr<Request>> all;
    {
        std::lock_guard<std::mutex> g(m_);
        for (auto& r : requests_) {
            if (r->thread != nullptr) all.push_back(r);
        }
    }
    CancelAndWait(all);
    std::vector<Handle> open;
    {
        std::lock_guard<std::mutex> g(m_);
        for (auto& [h, f] : handles_) open.push_back(h);
    }
    for (Handle h : open) Close(h);
    Flush();
    {
        std::lock_guard<std::mutex> g(m_);
        stopWorker_ = true;
        cv_.notify_all();
    }
    worker_.join();
}

PVOID Process::Alloc(size_t bytes, size_t pageOffset, bool readOnly) {
    return reinterpret_cast<PVOID>(space_.Allocate(bytes, pageOffset, readOnly));
}

void Process::Free(PVOID address) { space_.Free(reinterpret_cast<uintptr_t>(address)); }

void Process::Store(PVOID address, const void* data, size_t length) {
    // The application writes its own memory, read-only buffers included (as before protecting them).
    void* host = space_.Translate(reinterpret_cast<uintptr_t>(address), length, AddressSpace::Access::Read);
    if (host == nullptr) ModelLimit("Process::Store outside the process's buffers");
    if (length != 0) std::memcpy(host, data, length);
}

std::vector<unsigned char> Process::Load(PVOID address, size_t length) const {
    std::vector<unsigned char> out(length);
    if (!space_.CopyOut(out.data(), reinterpret_cast<uintptr_t>(address), length)) {
        ModelLimit("Process::Load outside the process's buffers");
    }
    return out;
}

Process::AppThread* Process::ThisThreadLocked() {
    auto& t = threads_[std::this_thread::get_id()];
    if (!t) {
        t = std::make_unique<AppThread>();
        t->host = std::this_thread::get_id();
    }
    return t.get();
}

PETHREAD Process::CurrentThread() {
    std::lock_guard<std::mutex> g(m_);
    return reinterpret_cast<PETHREAD>(ThisThreadLocked());
}

size_t Process::OutstandingRequests() const {
    std::lock_guard<std::mutex> g(m_);
    return requests_.size();
}

PFILE_OBJECT Process::FileObjectOf(Handle handle) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second->fo;
}

Process::FileRec* Process::Reference(Handle handle, ACCESS_MASK needed, NTSTATUS* status) {
    std::lock_guard<std::mutex> g(m_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    if ((it->second->granted & needed) != needed) {
        *status = STATUS_ACCESS_DENIED;
        return nullptr;
    }
    ++it->second->references;
    *status = STATUS_SUCCESS;
    return it->second;
}

bool Process::CloseDueLocked(FileRec* file) {
    if (!file->opened || file->handleOpen || file->references != 0 || file->closeSent) return false;
    file->closeSent = true;
    return true;
}

void Process::Dereference(FileRec* file) {
    bool close;
    PETHREAD thread;
    {
        std::lock_guard<std::mutex> g(m_);
        --file->references;
        close = CloseDueLocked(file);
        thread = reinterpret_cast<PETHREAD>(ThisThreadLocked());
    }
    if (close) SendClose(file, thread);
}

void Process::LockFile(FileRec* file) {
    std::unique_lock<std::mutex> l(m_);
    detail::WaitWithWatchdog(l, cv_, [file] { return !file->busy; },
                             "the lock of a file object opened for synchronous I/O (another request on it)");
    file->busy = true;
}

void Process::UnlockFile(FileRec* file) {
    std::lock_guard<std::mutex> g(m_);
    file->busy = false;
    cv_.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------------------------

std::shared_ptr<Process::Request> Process::NewRequest(FileRec* file, UCHAR major, PDEVICE_OBJECT top,
                                                      AppThread* thread) {
    auto req = std::make_shared<Request>();
    req->major = major;
    req->file = file;
    req->thread = thread;
    std::weak_ptr<Request> weak = req;
    req->irp = AllocateManagedIrp(top->StackSize, IrpOrigin::User, [this, weak](PIRP irp) {
        if (auto r = weak.lock()) Finish(r, irp);
    });
    PIRP irp = req->irp;
    irp->Tail.Overlay.Thread = thread != nullptr ? reinterpret_cast<PETHREAD>(thread)
                                                 : reinterpret_cast<PETHREAD>(&g_systemThread);
    irp->Tail.Overlay.OriginalFileObject = file->fo;
    irp->UserIosb = &req->iosb;
    irp->UserEvent = nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file->fo;
    return req;
}

// The file reference the request carries was taken by the caller; completion releases it.
NTSTATUS Process::Send(const std::shared_ptr<Request>& req, PDEVICE_OBJECT top) {
    {
        std::lock_guard<std::mutex> g(m_);
        requests_.push_back(req);
    }
    return IoCallDriver(top, req->irp);
}

// Runs where the request completed (any thread, up to DISPATCH_LEVEL): what Windows does at
// the top of the stack and in the requestor's completion APC.
void Process::Finish(const std::shared_ptr<Request>& req, PIRP irp) {
    {
        // A CancelIo on another thread may still be inside IoCancelIrp on this IRP; it must not
        // be freed under it.
        std::unique_lock<std::mutex> l(m_);
        auto me = std::this_thread::get_id();
        detail::WaitWithWatchdog(
            l, cv_,
            [&] { return std::all_of(req->cancellers.begin(), req->cancellers.end(), [&](auto id) { return id == me; }); },
            "IoCancelIrp on another thread to return before its request is freed");
        req->finishing = true;
    }
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    if (req->checkInformation && !NT_ERROR(status) && information > req->maxInformation) {
        BugCheck(kBugIoManagerViolation, "InformationExceedsBuffer",
                 "a request of major function " + Hex(req->major) + " completed with " + StatusName(status) +
                     " and Information " + std::to_string(information) + ", more than the caller's buffer of " +
                     std::to_string(req->maxInformation) + " bytes");
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != req->systemBuffer) {
        BugCheck(kBugIoManagerViolation, "SystemBufferReplaced",
                 "a driver replaced AssociatedIrp.SystemBuffer of a user request; the I/O manager frees the buffer "
                 "it allocated and copies from the one in the IRP");
    }
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) &&
        status != STATUS_VERIFY_REQUIRED && information != 0) {
        // In the requestor's context under an exception handler: a buffer the application
        // released meanwhile is skipped.
        space_.CopyIn(reinterpret_cast<uintptr_t>(irp->UserBuffer), irp->AssociatedIrp.SystemBuffer, information);
    }
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) std::free(req->systemBuffer);
    detail::ReleaseRequestMdls(irp);
    bool synchronous = (irp->Flags & IRP_SYNCHRONOUS_API) || req->file->synchronous;
    bool report = !NT_ERROR(status) || (irp->PendingReturned && !synchronous);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = status;
    iosb.Information = information;
    if (report) req->iosb = iosb;
    if (req->file->synchronous && req->thread != nullptr && req->major != IRP_MJ_CREATE) {
        req->file->fo->FinalStatus = status;
        KeSetEvent(&req->file->fo->Event, IO_NO_INCREMENT, FALSE);
    }
    {
        std::lock_guard<std::mutex> g(m_);
        req->final = iosb;
        req->reported = report;
        requests_.erase(std::find(requests_.begin(), requests_.end(), req));
        --req->file->references;
        if (CloseDueLocked(req->file)) closeQueue_.push_back(req->file);
        cv_.notify_all();
    }
    // The request holds the file object no more once its caller can see it completed: a close
    // right after the wait finds no request on the file.
    if (report && req->overlapped != nullptr) req->overlapped->Report(iosb);
    req->finished.Signal();
}

IoResult Process::Conclude(const std::shared_ptr<Request>& req, NTSTATUS returned, bool waitIfPending) {
    IoResult r;
    if (returned == STATUS_PENDING && !waitIfPending) return r;
    // A request that was not pended has completed already; its completion work (the status
    // block) is done before the system service returns.
    req->finished.Wait("a user request to complete");
    r.status = returned == STATUS_PENDING ? req->final.Status : returned;
    r.iosbWritten = req->reported;
    if (req->reported) r.iosb = req->iosb;
    return r;
}

void Process::SendSimple(FileRec* file, UCHAR major, PETHREAD thread) {
    PDEVICE_OBJECT top = pnp::TopOfStack(file->pdo);
    auto req = NewRequest(file, major, top, nullptr);
    req->irp->Tail.Overlay.Thread = thread;
    req->irp->RequestorMode = KernelMode;
    req->irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    {
        std::lock_guard<std::mutex> g(m_);
        ++file->references;
    }
    NTSTATUS returned = Send(req, top);
    Conclude(req, returned, true);
}

void Process::SendClose(FileRec* file, PETHREAD thread) {
    SendSimple(file, IRP_MJ_CLOSE, thread);
    // The file object is gone only now, when no request holds it any more: the PnP manager
    // counts the device as open until then (as the device object's reference count does).
    pnp::NoteFileClosed(file->pdo);
    {
        std::lock_guard<std::mutex> g(detail::TableLock());
        if (detail::W().devices.count(file->pdo) != 0) --file->pdo->ReferenceCount;
    }
    std::lock_guard<std::mutex> g(m_);
    files_.erase(file);
}

void Process::WorkerMain() {
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
        cv_.wait(l, [this] { return stopWorker_ || !closeQueue_.empty(); });
        if (closeQueue_.empty()) return;
        FileRec* file = closeQueue_.front();
        closeQueue_.pop_front();
        workerBusy_ = true;
        l.unlock();
        SendClose(file, reinterpret_cast<PETHREAD>(&g_systemThread));
        l.lock();
        workerBusy_ = false;
        cv_.notify_all();
    }
}

void Process::Flush() {
    std::unique_lock<std::mutex> l(m_);
    // A request whose completion work is still running (its OVERLAPPED may be signalled already)
    // has yet to release its file object, which may make a close due.
    detail::WaitWithWatchdog(l, cv_, [this] {
        return closeQueue_.empty() && !workerBusy_ &&
               std::none_of(requests_.begin(), requests_.end(), [](const auto& r) { return r->finishing; });
    }, "the I/O manager's worker to send deferred IRP_MJ_CLOSE requests");
}

void Process::CancelAndWait(const std::vector<std::shared_ptr<Request>>& requests) {
    std::vector<std::shared_ptr<Request>> mine;
    {
        std::lock_guard<std::mutex> g(m_);
        for (auto& r : requests) {
            if (r->finishing) continue;
            r->cancellers.insert(std::this_thread::get_id());
            mine.push_back(r);
        }
    }
    for (auto& r : mine) IoCancelIrp(r->irp);
    {
        std::lock_guard<std::mutex> g(m_);
        for (auto& r : mine) r->cancellers.erase(r->cancellers.find(std::this_thread::get_id()));
        cv_.notify_all();
    }
    for (auto& r : requests) r->finished.Wait("a cancelled user request to complete");
}

// ---------------------------------------------------------------------------------------------
// System services
// ---------------------------------------------------------------------------------------------

OpenResult Process::Open(const std::u16string& path, const OpenOptions& options) {
    ProcessContext context(&space_);
    OpenResult result;
    std::u16string prefix = path.substr(0, 4);
    if (prefix != u"\\\\?\\" && prefix != u"\\\\.\\") {
        result.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
        return result;
    }
    Resolved where;
    if (!Resolve(u"\\??\\" + path.substr(4), &where) || !where.enabled || !DeviceExists(where.pdo)) {
        result.status = STATUS_OBJECT_NAME_NOT_FOUND;
        return result;
    }
    PDEVICE_OBJECT pdo = where.pdo;
    result.status = CheckOpenAccess(pdo, !where.remainder.empty(), options.access, groups_);
    if (!NT_SUCCESS(result.status)) return result;
    {
        std::lock_guard<std::mutex> g(detail::TableLock());
        if (pdo->Flags & DO_DEVICE_INITIALIZING) result.status = STATUS_NO_SUCH_DEVICE;
        else if ((pdo->Flags & DO_EXCLUSIVE) && pdo->ReferenceCount != 0) result.status = STATUS_ACCESS_DENIED;
        else ++pdo->ReferenceCount;
    }
    if (result.status == STATUS_NO_SUCH_DEVICE || result.status == STATUS_ACCESS_DENIED) return result;

    const bool sync = !options.overlapped;
    auto owned = std::make_unique<FileRec>(pdo, where.remainder, sync);
    FileRec* file = owned.get();
    file->granted = MapGeneric(options.access | SYNCHRONIZE | FILE_READ_ATTRIBUTES);
    file->references = 1;  // the create request's
    AppThread* thread;
    {
        std::lock_guard<std::mutex> g(m_);
        files_[file] = std::move(owned);
        thread = ThisThreadLocked();
    }
    PDEVICE_OBJECT top = pnp::TopOfStack(pdo);
    auto req = NewRequest(file, IRP_MJ_CREATE, top, thread);
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = file->granted;
    security.FullCreateOptions = kFileNonDirectoryFile | (sync ? kFileSynchronousIoNonalert : 0);
    PIRP irp = req->irp;
    irp->RequestorMode = UserMode;
    irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API | IRP_DEFER_IO_COMPLETION;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Create.SecurityContext = &security;
    next->Parameters.Create.Options = (kFileOpen << 24) | security.FullCreateOptions;
    next->Parameters.Create.FileAttributes = kFileAttributeNormal;
    next->Parameters.Create.ShareAccess = static_cast<USHORT>(options.shareAccess);
    next->Parameters.Create.EaLength = 0;
    NTSTATUS returned = Send(req, top);
    result.status = Conclude(req, returned, true).status;
    std::lock_guard<std::mutex> g(m_);
    if (!NT_SUCCESS(result.status)) {
        // A failed create frees the file object without cleanup or close.
        files_.erase(file);
        std::lock_guard<std::mutex> t(detail::TableLock());
        if (detail::W().devices.count(pdo) != 0) --pdo->ReferenceCount;
        return result;
    }
    file->opened = true;
    file->handleOpen = true;
    pnp::NoteFileOpened(pdo);  // the PnP manager's count of open file objects on the device
    result.handle = nextHandle_;
    nextHandle_ += 4;
    handles_[result.handle] = file;
    return result;
}

NTSTATUS Process::Close(Handle handle) {
    ProcessContext context(&space_);
    FileRec* file;
    AppThread* thread;
    {
        std::lock_guard<std::mutex> g(m_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) return STATUS_INVALID_HANDLE;
        file = it->second;
        handles_.erase(it);
        file->handleOpen = false;
        ++file->references;  // this call's, until the cleanup request is done
        thread = ThisThreadLocked();
    }
    // The last handle is gone: cleanup, serialised with synchronous I/O on the file object.
    if (file->synchronous) LockFile(file);
    SendSimple(file, IRP_MJ_CLEANUP, reinterpret_cast<PETHREAD>(thread));
    if (file->synchronous) UnlockFile(file);
    Dereference(file);
    return STATUS_SUCCESS;
}

IoResult Process::Read(Handle handle, PVOID buffer, ULONG length, LONGLONG offset, Overlapped* overlapped) {
    return Transfer(IRP_MJ_READ, handle, buffer, length, offset, overlapped);
}

IoResult Process::Write(Handle handle, PVOID buffer, ULONG length, LONGLONG offset, Overlapped* overlapped) {
    return Transfer(IRP_MJ_WRITE, handle, buffer, length, offset, overlapped);
}

IoResult Process::Transfer(UCHAR major, Handle handle, PVOID buffer, ULONG length, LONGLONG offset,
                           Overlapped* overlapped) {
    ProcessContext context(&space_);
    const bool read = major == IRP_MJ_READ;
    IoResult result;
    FileRec* file = Reference(handle, read ? FILE_READ_DATA : FILE_WRITE_DATA, &result.status);
    if (file == nullptr) return result;
    auto fail = [&](NTSTATUS status) {
        Dereference(file);
        result.status = status;
        return result;
    };
    if (!file->synchronous && overlapped == nullptr) return fail(STATUS_INVALID_PARAMETER);
    auto user = reinterpret_cast<uintptr_t>(buffer);
    // The caller's buffer is probed for every kind of I/O before anything is built.
    if (length != 0 &&
        space_.Translate(user, length, read ? AddressSpace::Access::Write : AddressSpace::Access::Read) == nullptr) {
        return fail(STATUS_ACCESS_VIOLATION);
    }
    PDEVICE_OBJECT top = pnp::TopOfStack(file->pdo);
    PMDL mdl = nullptr;
    if ((top->Flags & DO_DIRECT_IO) && !(top->Flags & DO_BUFFERED_IO) && length != 0) {
        NTSTATUS st = detail::LockUserBuffer(buffer, length, read ? IoWriteAccess : IoReadAccess, &mdl);
        if (!NT_SUCCESS(st)) return fail(st);
    }
    if (overlapped != nullptr) overlapped->Begin();
    if (file->synchronous) LockFile(file);
    AppThread* thread;
    {
        std::lock_guard<std::mutex> g(m_);
        thread = ThisThreadLocked();
    }
    auto req = NewRequest(file, major, top, thread);
    req->overlapped = overlapped;
    req->checkInformation = true;
    req->maxInformation = length;
    PIRP irp = req->irp;
    irp->RequestorMode = UserMode;
    irp->UserBuffer = buffer;
    irp->Flags = read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    if (top->Flags & DO_BUFFERED_IO) {
        irp->Flags |= IRP_BUFFERED_IO | (read ? IRP_INPUT_OPERATION : 0);
        if (length != 0) {
            req->systemBuffer = std::malloc(length);
            std::memset(req->systemBuffer, kPoolFill, length);
            if (!read) space_.CopyOut(req->systemBuffer, user, length);
            irp->AssociatedIrp.SystemBuffer = req->systemBuffer;
            irp->Flags |= IRP_DEALLOCATE_BUFFER;
        }
    } else if (top->Flags & DO_DIRECT_IO) {
        irp->MdlAddress = mdl;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Read.Length = length;
    next->Parameters.Read.Key = 0;
    next->Parameters.Read.ByteOffset.QuadPart = offset;
    NTSTATUS returned = Send(req, top);
    result = Conclude(req, returned, file->synchronous);
    if (file->synchronous) UnlockFile(file);
    return result;
}

IoResult Process::DeviceIoControl(Handle handle, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                                  ULONG outputLength, Overlapped* overlapped) {
    ProcessContext context(&space_);
    IoResult result;
    ACCESS_MASK needed = ((code >> 14) & FILE_READ_ACCESS ? FILE_READ_DATA : 0) |
                         ((code >> 14) & FILE_WRITE_ACCESS ? FILE_WRITE_DATA : 0);
    FileRec* file = Reference(handle, needed, &result.status);
    if (file == nullptr) return result;
    auto fail = [&](NTSTATUS status) {
        Dereference(file);
        result.status = status;
        return result;
    };
    const ULONG method = METHOD_FROM_CTL_CODE(code);
    auto in = reinterpret_cast<uintptr_t>(input);
    auto out = reinterpret_cast<uintptr_t>(output);
    // Probes, as the system service makes them; a missing buffer counts as an empty one.
    if (method == METHOD_BUFFERED) {
        if (output == nullptr) outputLength = 0;
        if (outputLength != 0 && space_.Translate(out, outputLength, AddressSpace::Access::Write) == nullptr) {
            return fail(STATUS_ACCESS_VIOLATION);
        }
    }
    if (method != METHOD_NEITHER) {
        if (input == nullptr) inputLength = 0;
        if (inputLength != 0 && space_.Translate(in, inputLength, AddressSpace::Access::Read) == nullptr) {
            return fail(STATUS_ACCESS_VIOLATION);
        }
    }
    PMDL mdl = nullptr;
    if ((method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) && outputLength != 0) {
        NTSTATUS st = detail::LockUserBuffer(output, outputLength,
                                             method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess, &mdl);
        if (!NT_SUCCESS(st)) return fail(st);
    }
    if (overlapped != nullptr) overlapped->Begin();
    if (file->synchronous) LockFile(file);
    PDEVICE_OBJECT top = pnp::TopOfStack(file->pdo);
    AppThread* thread;
    {
        std::lock_guard<std::mutex> g(m_);
        thread = ThisThreadLocked();
    }
    auto req = NewRequest(file, IRP_MJ_DEVICE_CONTROL, top, thread);
    req->overlapped = overlapped;
    req->checkInformation = method != METHOD_NEITHER;
    req->maxInformation = outputLength;
    PIRP irp = req->irp;
    irp->RequestorMode = UserMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    switch (method) {
        case METHOD_BUFFERED: {
            ULONG bytes = std::max(inputLength, outputLength);
            if (bytes != 0) {
                req->systemBuffer = std::malloc(bytes);
                std::memset(req->systemBuffer, kPoolFill, bytes);
                space_.CopyOut(req->systemBuffer, in, inputLength);
                irp->AssociatedIrp.SystemBuffer = req->systemBuffer;
                irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (output != nullptr ? IRP_INPUT_OPERATION : 0);
                irp->UserBuffer = output;
            }
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (inputLength != 0) {
                req->systemBuffer = std::malloc(inputLength);
                space_.CopyOut(req->systemBuffer, in, inputLength);
                irp->AssociatedIrp.SystemBuffer = req->systemBuffer;
                irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            }
            irp->MdlAddress = mdl;
            break;
        default:
            next->Parameters.DeviceIoControl.Type3InputBuffer = input;
            irp->UserBuffer = output;
            break;
    }
    NTSTATUS returned = Send(req, top);
    result = Conclude(req, returned, file->synchronous || overlapped == nullptr);
    if (file->synchronous) UnlockFile(file);
    return result;
}

NTSTATUS Process::CancelIo(Handle handle) {
    ProcessContext context(&space_);
    std::vector<std::shared_ptr<Request>> mine;
    {
        std::lock_guard<std::mutex> g(m_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) return STATUS_INVALID_HANDLE;
        AppThread* thread = ThisThreadLocked();
        for (auto& r : requests_) {
            if (r->file == it->second && r->thread == thread) mine.push_back(r);
        }
    }
    CancelAndWait(mine);
    return STATUS_SUCCESS;
}

void Process::ExitThread() {
    ProcessContext context(&space_);
    std::vector<std::shared_ptr<Request>> mine;
    AppThread* thread;
    {
        std::lock_guard<std::mutex> g(m_);
        thread = ThisThreadLocked();
        for (auto& r : requests_) {
            if (r->thread == thread) mine.push_back(r);
        }
    }
    CancelAndWait(mine);
    std::lock_guard<std::mutex> g(m_);
    threads_.erase(std::this_thread::get_id());
}

IoResult AwaitResult(IoResult r, Overlapped& ov) {
    if (r.status == STATUS_PENDING) {
        ov.Wait();
        r.status = ov.Internal();
        r.iosb.Status = ov.Internal();
        r.iosb.Information = ov.InternalHigh();
    }
    return r;
}

}  // namespace sim::app
