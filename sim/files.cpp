// files.cpp - \SystemRoot on the host: ZwCreateFile, ZwWriteFile, share access and the
// record of operations that tests read.
#include "sim/files.h"

#include "sim/bugcheck.h"
#include "sim/faults.h"
#include "sim/handles.h"
#include "sim/irql.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace sim {

class FileSystem::FileObject final : public KernelObject {
public:
    explicit FileObject(FileSystem &owner) : owner_(owner) {}
    const char *TypeName() const override { return "File"; }
    void OnHandleClosed() override { owner_.Closed(*this); }

    std::string key;            // the host path, the share-access and counting key
    fs::path host;
    std::string ntPath;
    bool directory = false;
    ACCESS_MASK access = 0;     // mapped
    bool readAccess = false;
    bool writeAccess = false;
    bool deleteAccess = false;
    bool sharedRead = false;
    bool sharedWrite = false;
    bool sharedDelete = false;
    bool synchronous = false;
    uint64_t position = 0;      // guarded by FileSystem::mutex_

private:
    FileSystem &owner_;
};

namespace {

constexpr ACCESS_MASK kFileExecute = 0x0020;
constexpr ACCESS_MASK kFileReadAttributes = 0x0080;
constexpr ACCESS_MASK kFileWriteAttributes = 0x0100;
constexpr ACCESS_MASK kFileReadEa = 0x0008;
constexpr ACCESS_MASK kFileWriteEa = 0x0010;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;
constexpr ULONG kValidAttributes = 0x00007FB7;
constexpr ULONG kValidShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kFileWriteToEndOfFile = 0xFFFFFFFF;
constexpr ULONG kFileUseFilePointerPosition = 0xFFFFFFFE;

ACCESS_MASK MapFileAccess(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & 0x0FFFFFFF & ~kGenericAll;
    if (access & GENERIC_READ)
        mapped |= READ_CONTROL | FILE_READ_DATA | kFileReadAttributes | kFileReadEa | SYNCHRONIZE;
    if (access & GENERIC_WRITE)
        mapped |= READ_CONTROL | FILE_WRITE_DATA | kFileWriteAttributes | kFileWriteEa |
                  FILE_APPEND_DATA | SYNCHRONIZE;
    if (access & kGenericExecute)
        mapped |= READ_CONTROL | kFileReadAttributes | kFileExecute | SYNCHRONIZE;
    if (access & kGenericAll)
        mapped |= kFileAllAccess;
    return mapped;
}

bool ValidComponent(std::u16string_view component)
{
    if (component == u"." || component == u"..")
        return false;
    for (char16_t unit : component) {
        if (unit < 0x20)
            return false;
        switch (unit) {
        case u'"': case u'*': case u'/': case u':': case u'<': case u'>': case u'?': case u'|':
            return false;
        default:
            break;
        }
    }
    return true;
}

std::string Utf8(std::u16string_view text)
{
    std::string out;
    for (char16_t unit : text) {
        uint32_t c = unit;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string FromUtf8(const std::string &text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            out.push_back(byte);
            i += 1;
        } else if ((byte & 0xE0) == 0xC0 && i + 1 < text.size()) {
            out.push_back(static_cast<char16_t>(((byte & 0x1F) << 6) | (text[i + 1] & 0x3F)));
            i += 2;
        } else if ((byte & 0xF0) == 0xE0 && i + 2 < text.size()) {
            out.push_back(static_cast<char16_t>(((byte & 0x0F) << 12) |
                                                ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F)));
            i += 3;
        } else {
            out.push_back(u'?');
            i += 1;
        }
    }
    return out;
}

// The entry of `directory` named `name` (without regard to case if asked), or the path it
// would have when created.
fs::path FindEntry(const fs::path &directory, std::u16string_view name, bool caseInsensitive)
{
    fs::path exact = directory / Utf8(name);
    std::error_code error;
    if (fs::exists(exact, error) || !caseInsensitive)
        return exact;
    for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        if (NamesEqualIgnoringCase(FromUtf8(entry->path().filename().string()), name))
            return entry->path();
    }
    return exact;
}

std::string KeyOf(const fs::path &host)
{
    return host.lexically_normal().string();
}

}  // namespace

FileSystem::FileSystem(Machine &machine, fs::path systemRoot, bool temporary)
    : machine_(machine), root_(std::move(systemRoot)), temporary_(temporary)
{
}

FileSystem::~FileSystem()
{
    DiscardTemporaryRoot();
}

void FileSystem::DiscardTemporaryRoot() const noexcept
{
    if (!temporary_ || !made_.load())
        return;
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

const fs::path &FileSystem::Root() const
{
    return EnsureRoot();
}

const fs::path &FileSystem::EnsureRoot() const
{
    std::call_once(rootMade_, [this] {
        std::error_code error;
        if (temporary_)
            fs::remove_all(root_, error);
        fs::create_directories(root_, error);
        made_.store(!error);
        if (error)
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "the machine could not create its \\SystemRoot folder");
    });
    return root_;
}

void FileSystem::SetReadOnly(bool readOnly)
{
    std::lock_guard<std::mutex> lock(mutex_);
    readOnly_ = readOnly;
}

bool FileSystem::ReadOnly() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return readOnly_;
}

FileSystem::Resolved FileSystem::Resolve(std::u16string_view name, const fs::path &base,
                                         bool caseInsensitive) const
{
    Resolved resolved;
    resolved.host = base;
    std::vector<std::u16string_view> components;
    size_t begin = 0;
    while (begin < name.size()) {
        size_t end = name.find(u'\\', begin);
        if (end == std::u16string_view::npos)
            end = name.size();
        std::u16string_view component = name.substr(begin, end - begin);
        if (component.empty() || !ValidComponent(component)) {
            resolved.status = STATUS_OBJECT_NAME_INVALID;
            return resolved;
        }
        components.push_back(component);
        if (end + 1 == name.size())
            resolved.mustBeDirectory = true;
        begin = end + 1;
    }
    for (size_t i = 0; i < components.size(); ++i) {
        resolved.host = FindEntry(resolved.host, components[i], caseInsensitive);
        if (i + 1 < components.size()) {
            std::error_code error;
            if (!fs::is_directory(resolved.host, error)) {
                resolved.status = STATUS_OBJECT_PATH_NOT_FOUND;
                return resolved;
            }
        }
    }
    return resolved;
}

FileSystem::Resolved FileSystem::ResolveNt(std::u16string_view ntPath, bool caseInsensitive) const
{
    constexpr std::u16string_view kPrefix = u"\\SystemRoot";
    Resolved resolved;
    if (ntPath.size() < kPrefix.size() ||
        !NamesEqualIgnoringCase(ntPath.substr(0, kPrefix.size()), kPrefix) ||
        (ntPath.size() > kPrefix.size() && ntPath[kPrefix.size()] != u'\\')) {
        resolved.status = STATUS_OBJECT_PATH_NOT_FOUND;
        return resolved;
    }
    std::u16string_view rest = ntPath.substr(kPrefix.size());
    if (!rest.empty())
        rest.remove_prefix(1);
    return Resolve(rest, EnsureRoot(), caseInsensitive);
}

std::optional<fs::path> FileSystem::HostPath(std::string_view ntPath) const
{
    Resolved resolved = ResolveNt(WidenName(ntPath), true);
    if (resolved.status != STATUS_SUCCESS)
        return std::nullopt;
    return resolved.host;
}

bool FileSystem::Exists(std::string_view ntPath) const
{
    std::optional<fs::path> host = HostPath(ntPath);
    std::error_code error;
    return host.has_value() && fs::exists(*host, error);
}

std::optional<std::string> FileSystem::ReadFile(std::string_view ntPath) const
{
    std::optional<fs::path> host = HostPath(ntPath);
    std::error_code error;
    if (!host.has_value() || !fs::is_regular_file(*host, error))
        return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex_);
    std::ifstream in(*host, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint64_t FileSystem::OpenCount(std::string_view ntPath) const
{
    std::optional<fs::path> host = HostPath(ntPath);
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = host.has_value() ? opens_.find(KeyOf(*host)) : opens_.end();
    return found == opens_.end() ? 0 : found->second;
}

uint64_t FileSystem::CloseCount(std::string_view ntPath) const
{
    std::optional<fs::path> host = HostPath(ntPath);
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = host.has_value() ? closes_.find(KeyOf(*host)) : closes_.end();
    return found == closes_.end() ? 0 : found->second;
}

size_t FileSystem::OpenHandleCount(std::string_view ntPath) const
{
    std::optional<fs::path> host = HostPath(ntPath);
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = host.has_value() ? shares_.find(KeyOf(*host)) : shares_.end();
    return found == shares_.end() ? 0 : found->second.openCount;
}

std::vector<FileOperation> FileSystem::Operations() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return operations_;
}

NTSTATUS FileSystem::Create(PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                            const OBJECT_ATTRIBUTES *objectAttributes,
                            PIO_STATUS_BLOCK ioStatusBlock, ULONG fileAttributes,
                            ULONG shareAccess, ULONG createDisposition, ULONG createOptions,
                            PVOID eaBuffer, ULONG eaLength)
{
    if (objectAttributes == nullptr || objectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        ioStatusBlock == nullptr || fileHandle == nullptr)
        return STATUS_INVALID_PARAMETER;
    const std::u16string_view name = CountedName(objectAttributes->ObjectName);

    FileOperation operation;
    operation.kind = FileOperation::Kind::Create;
    operation.path = NarrowName(name);
    operation.access = desiredAccess;
    operation.shareAccess = shareAccess;
    operation.disposition = createDisposition;
    operation.options = createOptions;
    auto finish = [&](NTSTATUS status, ULONG_PTR information) {
        ioStatusBlock->Status = status;
        ioStatusBlock->Information = information;
        operation.status = status;
        operation.information = information;
        std::lock_guard<std::mutex> lock(mutex_);
        operations_.push_back(operation);
        return status;
    };

    const bool directoryFile = (createOptions & FILE_DIRECTORY_FILE) != 0;
    const bool nonDirectoryFile = (createOptions & FILE_NON_DIRECTORY_FILE) != 0;
    const bool syncAlert = (createOptions & FILE_SYNCHRONOUS_IO_ALERT) != 0;
    const bool syncNonAlert = (createOptions & FILE_SYNCHRONOUS_IO_NONALERT) != 0;
    const ACCESS_MASK access = MapFileAccess(desiredAccess);
    if (createDisposition > FILE_OVERWRITE_IF || (directoryFile && nonDirectoryFile) ||
        (syncAlert && syncNonAlert) || ((syncAlert || syncNonAlert) && !(access & SYNCHRONIZE)) ||
        (directoryFile && createDisposition != FILE_OPEN && createDisposition != FILE_CREATE &&
         createDisposition != FILE_OPEN_IF) ||
        (fileAttributes & ~kValidAttributes) != 0 || (shareAccess & ~kValidShareAccess) != 0)
        return finish(STATUS_INVALID_PARAMETER, 0);
    if (eaBuffer != nullptr || eaLength != 0)
        return finish(kStatusEasNotSupported, 0);
    if (objectAttributes->ObjectName != nullptr && (objectAttributes->ObjectName->Length & 1))
        return finish(STATUS_OBJECT_NAME_INVALID, 0);

    const bool caseInsensitive = (objectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0;
    Resolved resolved;
    if (objectAttributes->RootDirectory != nullptr) {
        auto root = std::dynamic_pointer_cast<FileObject>(
            machine_.handles().Lookup(objectAttributes->RootDirectory));
        if (root == nullptr)
            return finish(STATUS_INVALID_HANDLE, 0);
        if (!root->directory || (!name.empty() && name.front() == u'\\'))
            return finish(STATUS_INVALID_PARAMETER, 0);
        resolved = Resolve(name, root->host, caseInsensitive);
    } else {
        resolved = ResolveNt(name, caseInsensitive);
    }
    if (resolved.status != STATUS_SUCCESS)
        return finish(resolved.status, 0);

    auto file = std::make_shared<FileObject>(*this);
    file->host = resolved.host;
    file->key = KeyOf(resolved.host);
    file->ntPath = operation.path;
    file->access = access;
    file->readAccess = (access & (FILE_READ_DATA | kFileExecute)) != 0;
    file->writeAccess = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file->deleteAccess = (access & DELETE) != 0;
    file->sharedRead = (shareAccess & FILE_SHARE_READ) != 0;
    file->sharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
    file->sharedDelete = (shareAccess & FILE_SHARE_DELETE) != 0;
    file->synchronous = syncAlert || syncNonAlert;

    ULONG_PTR information = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        NTSTATUS status = Decide(*file, resolved, access, createDisposition, createOptions,
                                 information);
        if (status != STATUS_SUCCESS) {
            ioStatusBlock->Status = status;
            ioStatusBlock->Information = information;
            operation.status = status;
            operation.information = information;
            operations_.push_back(operation);
            return status;
        }
        if (file->readAccess || file->writeAccess || file->deleteAccess) {
            ShareState &share = shares_[file->key];
            ++share.openCount;
            share.readers += file->readAccess;
            share.writers += file->writeAccess;
            share.deleters += file->deleteAccess;
            share.sharedRead += file->sharedRead;
            share.sharedWrite += file->sharedWrite;
            share.sharedDelete += file->sharedDelete;
        }
        ++opens_[file->key];
    }
    *fileHandle = machine_.handles().Insert(file);
    return finish(STATUS_SUCCESS, information);
}

// mutex_ held. Applies the disposition to what exists (checking type, volume and share
// access, truncating or creating); STATUS_SUCCESS with `information` set, or the failure.
NTSTATUS FileSystem::Decide(FileObject &file, const Resolved &resolved, ACCESS_MASK access,
                            ULONG disposition, ULONG options, ULONG_PTR &information)
{
    const bool directoryFile = (options & FILE_DIRECTORY_FILE) != 0;
    const bool nonDirectoryFile = (options & FILE_NON_DIRECTORY_FILE) != 0;
    std::error_code error;
    information = 0;
    if (!fs::exists(file.host, error)) {
        if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
            information = kFileDoesNotExist;
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (resolved.mustBeDirectory && nonDirectoryFile)
            return STATUS_OBJECT_NAME_INVALID;
        if (readOnly_)
            return STATUS_MEDIA_WRITE_PROTECTED;
        file.directory = directoryFile || resolved.mustBeDirectory;
        if (file.directory) {
            fs::create_directory(file.host, error);
        } else {
            std::ofstream created(file.host, std::ios::binary);
            if (!created)
                error = std::make_error_code(std::errc::permission_denied);
        }
        if (error)
            return STATUS_ACCESS_DENIED;
        information = kFileCreated;
        return STATUS_SUCCESS;
    }

    file.directory = fs::is_directory(file.host, error);
    if (directoryFile && !file.directory)
        return STATUS_NOT_A_DIRECTORY;
    if (nonDirectoryFile && file.directory)
        return STATUS_FILE_IS_A_DIRECTORY;
    if (resolved.mustBeDirectory && !file.directory)
        return STATUS_OBJECT_NAME_INVALID;
    if (disposition == FILE_CREATE) {
        information = kFileExists;
        return STATUS_OBJECT_NAME_COLLISION;
    }
    const bool truncate = disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF ||
                          disposition == FILE_SUPERSEDE;
    if (file.directory && truncate)
        return STATUS_FILE_IS_A_DIRECTORY;
    if (readOnly_ && (truncate || file.writeAccess || file.deleteAccess ||
                      (access & (kFileWriteAttributes | kFileWriteEa))))
        return STATUS_MEDIA_WRITE_PROTECTED;

    auto existing = shares_.find(file.key);
    if (existing != shares_.end() && (file.readAccess || file.writeAccess || file.deleteAccess)) {
        const ShareState &share = existing->second;
        if ((file.readAccess && share.sharedRead < share.openCount) ||
            (file.writeAccess && share.sharedWrite < share.openCount) ||
            (file.deleteAccess && share.sharedDelete < share.openCount) ||
            (share.readers != 0 && !file.sharedRead) || (share.writers != 0 && !file.sharedWrite) ||
            (share.deleters != 0 && !file.sharedDelete))
            return STATUS_SHARING_VIOLATION;
    }
    if (truncate) {
        fs::resize_file(file.host, 0, error);
        if (error)
            return STATUS_ACCESS_DENIED;
    }
    information = disposition == FILE_SUPERSEDE ? kFileSuperseded
                  : truncate                    ? kFileOverwritten
                                                : kFileOpened;
    return STATUS_SUCCESS;
}

NTSTATUS FileSystem::Write(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, const void *buffer,
                           ULONG length, const LARGE_INTEGER *byteOffset)
{
    std::shared_ptr<KernelObject> named = machine_.handles().Lookup(fileHandle);
    if (named == nullptr)
        return STATUS_INVALID_HANDLE;
    auto file = std::dynamic_pointer_cast<FileObject>(named);
    if (file == nullptr)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (ioStatusBlock == nullptr)
        return STATUS_INVALID_PARAMETER;

    std::lock_guard<std::mutex> lock(mutex_);
    FileOperation operation;
    operation.kind = FileOperation::Kind::Write;
    operation.path = file->ntPath;
    auto finish = [&](NTSTATUS status, ULONG_PTR information) {
        ioStatusBlock->Status = status;
        ioStatusBlock->Information = information;
        operation.status = status;
        operation.information = information;
        operations_.push_back(operation);
        return status;
    };
    if (file->directory)
        return finish(STATUS_INVALID_DEVICE_REQUEST, 0);
    if (!(file->access & (FILE_WRITE_DATA | FILE_APPEND_DATA)))
        return finish(STATUS_ACCESS_DENIED, 0);
    if (readOnly_)
        return finish(STATUS_MEDIA_WRITE_PROTECTED, 0);

    std::error_code error;
    const uint64_t size = fs::file_size(file->host, error);
    if (error)
        return finish(STATUS_UNSUCCESSFUL, 0);
    uint64_t offset;
    const bool appendOnly = (file->access & FILE_APPEND_DATA) && !(file->access & FILE_WRITE_DATA);
    if (appendOnly) {
        offset = size;
    } else if (byteOffset != nullptr) {
        if (byteOffset->u.HighPart == -1 && byteOffset->u.LowPart == kFileWriteToEndOfFile)
            offset = size;
        else if (byteOffset->u.HighPart == -1 &&
                 byteOffset->u.LowPart == kFileUseFilePointerPosition && file->synchronous)
            offset = file->position;
        else if (byteOffset->QuadPart < 0)
            return finish(STATUS_INVALID_PARAMETER, 0);
        else
            offset = static_cast<uint64_t>(byteOffset->QuadPart);
    } else if (file->synchronous) {
        offset = file->position;
    } else {
        return finish(STATUS_INVALID_PARAMETER, 0);
    }
    operation.offset = offset;

    std::FILE *stream = std::fopen(file->host.c_str(), "r+b");
    bool written = stream != nullptr;
    if (written) {
        written = fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0 &&
                  (length == 0 || std::fwrite(buffer, 1, length, stream) == length);
        written = std::fclose(stream) == 0 && written;
    }
    if (!written)
        return finish(STATUS_UNSUCCESSFUL, 0);
    if (file->synchronous)
        file->position = offset + length;
    return finish(STATUS_SUCCESS, length);
}

void FileSystem::Closed(FileObject &file)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (file.readAccess || file.writeAccess || file.deleteAccess) {
        ShareState &share = shares_[file.key];
        --share.openCount;
        share.readers -= file.readAccess;
        share.writers -= file.writeAccess;
        share.deleters -= file.deleteAccess;
        share.sharedRead -= file.sharedRead;
        share.sharedWrite -= file.sharedWrite;
        share.sharedDelete -= file.sharedDelete;
        if (share.openCount == 0)
            shares_.erase(file.key);
    }
    ++closes_[file.key];
    FileOperation operation;
    operation.kind = FileOperation::Kind::Close;
    operation.path = file.ntPath;
    operations_.push_back(operation);
}

}  // namespace sim

//
// ZwCreateFile - opens or creates a file or folder under \SystemRoot. PASSIVE_LEVEL.
//
extern "C" NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes,
                                       PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                       ULONG FileAttributes, ULONG ShareAccess,
                                       ULONG CreateDisposition, ULONG CreateOptions,
                                       PVOID EaBuffer, ULONG EaLength)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    (void)AllocationSize;
    sim::RequireIrqlExactly(PASSIVE_LEVEL, "ZwCreateFile");
    sim::Machine &machine = sim::Machine::Current();
    sim::FaultPoint point;
    point.routine = "ZwCreateFile";
    if (ObjectAttributes != nullptr)
        point.name = std::u16string(sim::CountedName(ObjectAttributes->ObjectName));
    if (machine.faults().ShouldFail(point)) {
        if (IoStatusBlock != nullptr) {
            IoStatusBlock->Status = STATUS_INSUFFICIENT_RESOURCES;
            IoStatusBlock->Information = 0;
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return machine.files().Create(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
                                  FileAttributes, ShareAccess, CreateDisposition, CreateOptions,
                                  EaBuffer, EaLength);
}

//
// ZwWriteFile - writes synchronously; Event and APC are not used (the write is complete on
// return). PASSIVE_LEVEL.
//
extern "C" NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine,
                                      PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                      PULONG Key)
{
    (void)Event;
    (void)ApcRoutine;
    (void)ApcContext;
    (void)Key;
    sim::RequireIrqlExactly(PASSIVE_LEVEL, "ZwWriteFile");
    return sim::Machine::Current().files().Write(FileHandle, IoStatusBlock, Buffer, Length,
                                                 ByteOffset);
}
