// files.h - the simulated file system behind \SystemRoot.
//
// \SystemRoot maps to MachineOptions::systemRoot on the host, a folder made when it is first
// used (most machines never open a file, and a folder costs two file-system syncs to make
// and remove). ZwCreateFile honours what a
// trace-file writer uses (access rights, case-insensitive names, attributes, share modes,
// the six dispositions with their IoStatus.Information, directory and non-directory
// opens, write-through, synchronous I/O) and returns the platform's errors for the rest;
// ZwWriteFile writes at an offset, at the current position of a synchronous handle, or at
// the end for a handle with FILE_APPEND_DATA alone. A volume switched read-only refuses
// everything that would create or write with STATUS_MEDIA_WRITE_PROTECTED.
#pragma once

#include "sim/machine.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Create-disposition results (IO_STATUS_BLOCK.Information of ZwCreateFile).
inline constexpr ULONG_PTR kFileSuperseded = 0;
inline constexpr ULONG_PTR kFileOpened = 1;
inline constexpr ULONG_PTR kFileCreated = 2;
inline constexpr ULONG_PTR kFileOverwritten = 3;
inline constexpr ULONG_PTR kFileExists = 4;
inline constexpr ULONG_PTR kFileDoesNotExist = 5;

inline constexpr NTSTATUS kStatusEasNotSupported = static_cast<NTSTATUS>(0xC000004F);

struct FileOperation {
    enum class Kind { Create, Write, Close };
    Kind kind = Kind::Create;
    std::string path;               // the NT name the driver gave
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;      // Create: kFileCreated ...; Write: bytes written
    ACCESS_MASK access = 0;         // Create: as asked (not mapped)
    ULONG shareAccess = 0;
    ULONG disposition = 0;
    ULONG options = 0;
    uint64_t offset = 0;            // Write: where the bytes went
};

class FileSystem {
public:
    // `temporary`: the folder is the machine's own: one of that name left by an ended
    // process is removed before it is made, and it goes with the machine.
    FileSystem(Machine &machine, std::filesystem::path systemRoot, bool temporary = false);
    ~FileSystem();
    FileSystem(const FileSystem &) = delete;
    FileSystem &operator=(const FileSystem &) = delete;

    // The host folder of \SystemRoot, created (with its parents) by the first call that
    // needs it; a fresh one is empty.
    const std::filesystem::path &Root() const;
    void SetReadOnly(bool readOnly);
    bool ReadOnly() const;
    // Removes a temporary folder that was made (a bug-check calls it on its way out).
    void DiscardTemporaryRoot() const noexcept;

    // Test API; `ntPath` is "\SystemRoot\..." matched without regard to case.
    // The host path the name resolves to (nullopt outside \SystemRoot).
    std::optional<std::filesystem::path> HostPath(std::string_view ntPath) const;
    bool Exists(std::string_view ntPath) const;
    // A file's bytes, or nullopt when there is no such file.
    std::optional<std::string> ReadFile(std::string_view ntPath) const;
    // Successful ZwCreateFile calls for the path / handles to it closed / still open.
    uint64_t OpenCount(std::string_view ntPath) const;
    uint64_t CloseCount(std::string_view ntPath) const;
    size_t OpenHandleCount(std::string_view ntPath) const;
    // Every ZwCreateFile, ZwWriteFile and close of a file handle, in order.
    std::vector<FileOperation> Operations() const;

    // ZwCreateFile and ZwWriteFile once the IRQL and fault checks passed.
    NTSTATUS Create(PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                    const OBJECT_ATTRIBUTES *objectAttributes, PIO_STATUS_BLOCK ioStatusBlock,
                    ULONG fileAttributes, ULONG shareAccess, ULONG createDisposition,
                    ULONG createOptions, PVOID eaBuffer, ULONG eaLength);
    NTSTATUS Write(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, const void *buffer,
                   ULONG length, const LARGE_INTEGER *byteOffset);

private:
    class FileObject;
    struct ShareState {
        ULONG openCount = 0;
        ULONG readers = 0;
        ULONG writers = 0;
        ULONG deleters = 0;
        ULONG sharedRead = 0;
        ULONG sharedWrite = 0;
        ULONG sharedDelete = 0;
    };
    struct Resolved {
        NTSTATUS status = STATUS_SUCCESS;
        std::filesystem::path host;
        bool mustBeDirectory = false;   // the name ended in a backslash
    };

    Resolved Resolve(std::u16string_view name, const std::filesystem::path &base,
                     bool caseInsensitive) const;
    Resolved ResolveNt(std::u16string_view ntPath, bool caseInsensitive) const;
    NTSTATUS Decide(FileObject &file, const Resolved &resolved, ACCESS_MASK access,
                    ULONG disposition, ULONG options, ULONG_PTR &information);
    void Closed(FileObject &file);

    const std::filesystem::path &EnsureRoot() const;

    Machine &machine_;
    const std::filesystem::path root_;
    const bool temporary_;
    mutable std::once_flag rootMade_;
    mutable std::atomic<bool> made_{false};
    mutable std::mutex mutex_;
    bool readOnly_ = false;
    std::map<std::string, ShareState> shares_;
    std::map<std::string, uint64_t> opens_;
    std::map<std::string, uint64_t> closes_;
    std::vector<FileOperation> operations_;
};

}  // namespace sim
