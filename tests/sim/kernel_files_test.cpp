// \SystemRoot files: ZwCreateFile dispositions and errors, share access, the read-only
// volume and ZwWriteFile positions.
#include "tests/sim/kernel_test_support.h"

#include "sim/faults.h"
#include "sim/files.h"
#include "sim/irql.h"

#include <fstream>

namespace sim::test {
namespace {

constexpr ACCESS_MASK kFolderAccess = READ_CONTROL | FILE_LIST_DIRECTORY | FILE_TRAVERSE;

class KernelFiles : public ::testing::Test {
protected:
    struct Opened {
        NTSTATUS status;
        ULONG_PTR information;
        HANDLE handle;
    };

    Opened Create(std::u16string name, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, ULONG attributes = OBJ_CASE_INSENSITIVE)
    {
        CountedName counted(std::move(name));
        OBJECT_ATTRIBUTES objectAttributes;
        InitializeObjectAttributes(&objectAttributes, counted.get(), attributes, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        iosb.Status = 0x12345;
        iosb.Information = 0x77;
        HANDLE handle = nullptr;
        NTSTATUS status = ZwCreateFile(&handle, access, &objectAttributes, &iosb, nullptr,
                                       FILE_ATTRIBUTE_NORMAL, share, disposition, options, nullptr, 0);
        EXPECT_EQ(iosb.Status, status);
        return Opened{status, iosb.Information, handle};
    }

    NTSTATUS Write(HANDLE file, const std::string &bytes, LARGE_INTEGER *offset = nullptr)
    {
        IO_STATUS_BLOCK iosb;
        NTSTATUS status = ZwWriteFile(file, nullptr, nullptr, nullptr, &iosb,
                                      const_cast<char *>(bytes.data()),
                                      static_cast<ULONG>(bytes.size()), offset, nullptr);
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(iosb.Information, bytes.size());
        }
        return status;
    }

    void Seed(const std::string &relative, const std::string &content)
    {
        std::ofstream(machine_.files().Root() / relative, std::ios::binary) << content;
    }

    Machine machine_;
};

enum class Before { Nothing, File, Folder };

struct DispositionCase {
    const char *name;
    Before before;
    ULONG disposition;
    ULONG options;
    NTSTATUS status;
    ULONG_PTR information;
    const char *contentAfter;   // null: no file afterwards
};

TEST_F(KernelFiles, Dispositions)
{
    const DispositionCase cases[] = {
        {"open missing", Before::Nothing, FILE_OPEN, 0, STATUS_OBJECT_NAME_NOT_FOUND, kFileDoesNotExist, nullptr},
        {"create missing", Before::Nothing, FILE_CREATE, 0, STATUS_SUCCESS, kFileCreated, ""},
        {"open-if missing", Before::Nothing, FILE_OPEN_IF, 0, STATUS_SUCCESS, kFileCreated, ""},
        {"overwrite missing", Before::Nothing, FILE_OVERWRITE, 0, STATUS_OBJECT_NAME_NOT_FOUND, kFileDoesNotExist, nullptr},
        {"overwrite-if missing", Before::Nothing, FILE_OVERWRITE_IF, 0, STATUS_SUCCESS, kFileCreated, ""},
        {"supersede missing", Before::Nothing, FILE_SUPERSEDE, 0, STATUS_SUCCESS, kFileCreated, ""},
        {"open existing", Before::File, FILE_OPEN, 0, STATUS_SUCCESS, kFileOpened, "old"},
        {"create existing", Before::File, FILE_CREATE, 0, STATUS_OBJECT_NAME_COLLISION, kFileExists, "old"},
        {"open-if existing", Before::File, FILE_OPEN_IF, 0, STATUS_SUCCESS, kFileOpened, "old"},
        {"overwrite existing", Before::File, FILE_OVERWRITE, 0, STATUS_SUCCESS, kFileOverwritten, ""},
        {"overwrite-if existing", Before::File, FILE_OVERWRITE_IF, 0, STATUS_SUCCESS, kFileOverwritten, ""},
        {"supersede existing", Before::File, FILE_SUPERSEDE, 0, STATUS_SUCCESS, kFileSuperseded, ""},
        {"file opened as folder", Before::File, FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_NOT_A_DIRECTORY, 0, "old"},
        {"folder opened as file", Before::Folder, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY, 0, nullptr},
        {"folder overwritten", Before::Folder, FILE_OVERWRITE_IF, 0, STATUS_FILE_IS_A_DIRECTORY, 0, nullptr},
        {"folder opened", Before::Folder, FILE_OPEN_IF, FILE_DIRECTORY_FILE, STATUS_SUCCESS, kFileOpened, nullptr},
    };
    for (const DispositionCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(*machine_.files().HostPath("\\SystemRoot\\item"));
        if (c.before == Before::File)
            Seed("item", "old");
        else if (c.before == Before::Folder)
            std::filesystem::create_directory(machine_.files().Root() / "item");
        Opened opened = Create(u"\\SystemRoot\\ITEM", GENERIC_WRITE | SYNCHRONIZE, 0,
                               c.disposition, c.options | FILE_SYNCHRONOUS_IO_NONALERT);
        EXPECT_EQ(opened.status, c.status);
        EXPECT_EQ(opened.information, c.information);
        if (opened.status == STATUS_SUCCESS)
            ZwClose(opened.handle);
        std::optional<std::string> content = machine_.files().ReadFile("\\SystemRoot\\item");
        EXPECT_EQ(content.has_value(), c.contentAfter != nullptr);
        if (content.has_value() && c.contentAfter != nullptr) {
            EXPECT_EQ(*content, c.contentAfter);
        }
    }
}

TEST_F(KernelFiles, CreatesAFolderOnlyWhereItsParentExists)
{
    Opened folder = Create(u"\\SystemRoot\\trace", kFolderAccess, FILE_SHARE_READ, FILE_OPEN_IF,
                           FILE_DIRECTORY_FILE);
    ASSERT_EQ(folder.status, STATUS_SUCCESS);
    EXPECT_EQ(folder.information, kFileCreated);
    EXPECT_TRUE(std::filesystem::is_directory(machine_.files().Root() / "trace"));
    ZwClose(folder.handle);
    EXPECT_EQ(Create(u"\\SystemRoot\\missing\\trace", kFolderAccess, FILE_SHARE_READ, FILE_OPEN_IF,
                     FILE_DIRECTORY_FILE).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(KernelFiles, Errors)
{
    Seed("krvdlc.trc", "x");
    struct Case {
        const char *name;
        std::u16string path;
        ACCESS_MASK access;
        ULONG disposition;
        ULONG options;
        ULONG attributes;
        NTSTATUS status;
    };
    const ACCESS_MASK write = GENERIC_WRITE | SYNCHRONIZE;
    const Case cases[] = {
        {"missing parent", u"\\SystemRoot\\nope\\krvdlc.trc", write, FILE_OPEN_IF, 0, OBJ_CASE_INSENSITIVE, STATUS_OBJECT_PATH_NOT_FOUND},
        {"parent is a file", u"\\SystemRoot\\krvdlc.trc\\x", write, FILE_OPEN_IF, 0, OBJ_CASE_INSENSITIVE, STATUS_OBJECT_PATH_NOT_FOUND},
        {"outside SystemRoot", u"\\Windows\\krvdlc.trc", write, FILE_OPEN_IF, 0, OBJ_CASE_INSENSITIVE, STATUS_OBJECT_PATH_NOT_FOUND},
        {"invalid character", u"\\SystemRoot\\a:b", write, FILE_OPEN_IF, 0, OBJ_CASE_INSENSITIVE, STATUS_OBJECT_NAME_INVALID},
        {"parent reference", u"\\SystemRoot\\..\\x", write, FILE_OPEN_IF, 0, OBJ_CASE_INSENSITIVE, STATUS_OBJECT_NAME_INVALID},
        {"file name ending in a backslash", u"\\SystemRoot\\krvdlc.trc\\", write, FILE_OPEN, 0, OBJ_CASE_INSENSITIVE, STATUS_OBJECT_NAME_INVALID},
        {"case differs, case-sensitive", u"\\SystemRoot\\KRVDLC.TRC", write, FILE_OPEN, 0, 0, STATUS_OBJECT_NAME_NOT_FOUND},
        {"directory and non-directory", u"\\SystemRoot\\krvdlc.trc", write, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE, OBJ_CASE_INSENSITIVE, STATUS_INVALID_PARAMETER},
        {"synchronous without SYNCHRONIZE", u"\\SystemRoot\\krvdlc.trc", FILE_APPEND_DATA, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, OBJ_CASE_INSENSITIVE, STATUS_INVALID_PARAMETER},
        {"unknown disposition", u"\\SystemRoot\\krvdlc.trc", write, 6, 0, OBJ_CASE_INSENSITIVE, STATUS_INVALID_PARAMETER},
        {"folder overwritten by option", u"\\SystemRoot\\t", write, FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE, OBJ_CASE_INSENSITIVE, STATUS_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Create(c.path, c.access, 0, c.disposition, c.options, c.attributes).status, c.status);
    }
    EXPECT_EQ(Create(u"\\SystemRoot\\KRVDLC.TRC", write, 0, FILE_OPEN, 0).information, kFileOpened);
    EXPECT_EQ(machine_.files().OpenHandleCount("\\SystemRoot\\krvdlc.trc"), 1u);
}

TEST_F(KernelFiles, ShareAccess)
{
    const ACCESS_MASK write = GENERIC_WRITE | SYNCHRONIZE;
    Opened first = Create(u"\\SystemRoot\\f", write, FILE_SHARE_WRITE, FILE_OPEN_IF, 0);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    Opened second = Create(u"\\SystemRoot\\f", FILE_APPEND_DATA, FILE_SHARE_WRITE, FILE_OPEN, 0);
    ASSERT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(Create(u"\\SystemRoot\\f", GENERIC_READ, FILE_SHARE_WRITE, FILE_OPEN, 0).status,
              STATUS_SHARING_VIOLATION);    // the writers do not share reading
    EXPECT_EQ(Create(u"\\SystemRoot\\f", write, FILE_SHARE_READ, FILE_OPEN, 0).status,
              STATUS_SHARING_VIOLATION);    // this one would not share writing
    EXPECT_EQ(Create(u"\\SystemRoot\\f", READ_CONTROL, 0, FILE_OPEN, 0).status, STATUS_SUCCESS);
    ZwClose(first.handle);
    ZwClose(second.handle);
    Opened reader = Create(u"\\SystemRoot\\f", GENERIC_READ, 0, FILE_OPEN, 0);
    EXPECT_EQ(reader.status, STATUS_SUCCESS);
    EXPECT_EQ(Create(u"\\SystemRoot\\f", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0).status,
              STATUS_SHARING_VIOLATION);
}

TEST_F(KernelFiles, ReadOnlyVolume)
{
    Seed("old.trc", "keep");
    std::filesystem::create_directory(machine_.files().Root() / "trace");
    Opened before = Create(u"\\SystemRoot\\old.trc", FILE_APPEND_DATA | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                           FILE_SYNCHRONOUS_IO_NONALERT);
    machine_.files().SetReadOnly(true);
    struct Case {
        const char *name;
        std::u16string path;
        ACCESS_MASK access;
        ULONG disposition;
        ULONG options;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"new file", u"\\SystemRoot\\trace\\krvdlc.trc", GENERIC_WRITE, FILE_OVERWRITE_IF, 0, STATUS_MEDIA_WRITE_PROTECTED},
        {"new folder", u"\\SystemRoot\\other", kFolderAccess, FILE_OPEN_IF, FILE_DIRECTORY_FILE, STATUS_MEDIA_WRITE_PROTECTED},
        {"existing file for writing", u"\\SystemRoot\\old.trc", FILE_APPEND_DATA, FILE_OPEN, 0, STATUS_MEDIA_WRITE_PROTECTED},
        {"existing file overwritten", u"\\SystemRoot\\old.trc", READ_CONTROL, FILE_OVERWRITE, 0, STATUS_MEDIA_WRITE_PROTECTED},
        {"existing folder for listing", u"\\SystemRoot\\trace", kFolderAccess, FILE_OPEN_IF, FILE_DIRECTORY_FILE, STATUS_SUCCESS},
        {"existing file for reading", u"\\SystemRoot\\old.trc", GENERIC_READ, FILE_OPEN, 0, STATUS_SUCCESS},
        {"missing file opened", u"\\SystemRoot\\none", GENERIC_READ, FILE_OPEN, 0, STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Opened opened = Create(c.path, c.access, FILE_SHARE_READ | FILE_SHARE_WRITE, c.disposition, c.options);
        EXPECT_EQ(opened.status, c.status);
        if (opened.status == STATUS_SUCCESS)
            ZwClose(opened.handle);
    }
    EXPECT_EQ(Write(before.handle, "more"), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(*machine_.files().ReadFile("\\SystemRoot\\old.trc"), "keep");
    EXPECT_FALSE(machine_.files().Exists("\\SystemRoot\\trace\\krvdlc.trc"));
    ZwClose(before.handle);
}

TEST_F(KernelFiles, WriteErrors)
{
    Opened reader = Create(u"\\SystemRoot\\r", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, 0);
    Opened asynchronous = Create(u"\\SystemRoot\\r", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
    Opened folder = Create(u"\\SystemRoot\\d", kFolderAccess | FILE_WRITE_DATA, 0, FILE_OPEN_IF, FILE_DIRECTORY_FILE);
    EXPECT_EQ(Write(reader.handle, "x"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Write(asynchronous.handle, "x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Write(folder.handle, "x"), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Write(reinterpret_cast<HANDLE>(0x80000777), "x"), STATUS_INVALID_HANDLE);
    LARGE_INTEGER end;
    end.u.LowPart = 0xFFFFFFFF;
    end.u.HighPart = -1;
    EXPECT_EQ(Write(asynchronous.handle, "yz", &end), STATUS_SUCCESS);
    EXPECT_EQ(*machine_.files().ReadFile("\\SystemRoot\\r"), "yz");
    for (HANDLE handle : {reader.handle, asynchronous.handle, folder.handle})
        ZwClose(handle);
}

TEST(KernelFilesDeathTest, VerifierRules)
{
    ExpectStops({
        {"file handle left open at unload",
         [](Machine &machine) {
             CountedName name(u"\\SystemRoot\\left.open");
             OBJECT_ATTRIBUTES attributes;
             InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
             IO_STATUS_BLOCK iosb;
             HANDLE file;
             ZwCreateFile(&file, GENERIC_WRITE, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN_IF, 0,
                          nullptr, 0);
             machine.CheckNothingLeftBehind();
         },
         Literal("Rule: driver unloaded with a kernel handle still open (File)")},
    });
}

}  // namespace
}  // namespace sim::test
