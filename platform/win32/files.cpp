// Files on Windows, shared by the game and the cross-built unit tests.
// Paths arrive as UTF-8 and are opened as UTF-16, so a folder with
// non-ASCII letters in its name works whatever the ANSI code page.
#include <windows.h>

#include <cstdint>
#include <iterator>
#include <limits>
#include <string>

#include "platform/platform.h"

namespace platform {

struct File {
    HANDLE handle;
};

namespace {

std::string Reason(DWORD err) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, err, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
        out.resize(static_cast<std::size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), size, nullptr, nullptr);
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    }
    if (text) LocalFree(text);
    if (out.empty()) out = "error " + std::to_string(err);
    return out;
}

// UTF-8 to UTF-16; an absolute path too long for the plain form gets the
// \\?\ prefix. Empty on invalid UTF-8.
std::wstring WidePath(const std::string& path) {
    if (path.empty() || path.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                      nullptr, 0);
    if (n <= 0) return {};
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), w.data(), n);
    if (w.size() >= MAX_PATH - 1 && w.find(L'/') == std::wstring::npos) {
        if (w.size() > 2 && w[1] == L':' && w[2] == L'\\') {
            w.insert(0, L"\\\\?\\");
        } else if (w.size() > 2 && w[0] == L'\\' && w[1] == L'\\' && w[2] != L'?' && w[2] != L'.') {
            w.replace(0, 2, L"\\\\?\\UNC\\");
        }
    }
    return w;
}

// Only a file on a disk counts: never a directory, pipe, console or device.
bool IsPlainDiskFile(HANDLE h) {
    if (GetFileType(h) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    return (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

OVERLAPPED LockByte() {
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0x7FFFFFFFu;
    return at;
}

bool IsDirectory(const std::wstring& w) {
    const DWORD a = GetFileAttributesW(w.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Narrow(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Where the part of a path that names a drive or share ends: C:\, \\server\share\,
// \\?\C:\ and \\?\UNC\server\share\. These are never created.
std::size_t RootLength(const std::wstring& w) {
    std::size_t at = 0;
    if (w.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        at = 8;
    } else if (w.rfind(L"\\\\?\\", 0) == 0) {
        return w.size() >= 7 && w[5] == L':' ? 7 : 4;
    } else if (w.size() >= 2 && IsSeparator(w[0]) && IsSeparator(w[1])) {
        at = 2;
    } else {
        return w.size() >= 3 && w[1] == L':' && IsSeparator(w[2]) ? 3 : 0;
    }
    // Server and share.
    for (int part = 0; part < 2 && at < w.size(); ++part) {
        while (at < w.size() && !IsSeparator(w[at])) ++at;
        if (at < w.size()) ++at;
    }
    return at;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

File* OpenForAppend(const std::string& path, std::string* reason) {
    const std::wstring w = WidePath(path);
    if (w.empty()) {
        if (reason) *reason = "not a valid path";
        return nullptr;
    }
    const DWORD attributes = GetFileAttributesW(w.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
        if (reason) *reason = "not a regular file";
        return nullptr;
    }
    // FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write
    // at the end, so two writers never overwrite each other. Read access
    // too, to see how the file ends; a write-only file is still appended to.
    HANDLE h = CreateFileW(w.c_str(), FILE_APPEND_DATA | FILE_READ_DATA, kShareAll, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        h = CreateFileW(w.c_str(), FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (reason) *reason = Reason(GetLastError());
        return nullptr;
    }
    if (!IsPlainDiskFile(h)) {
        if (reason) *reason = "not a regular file";
        CloseHandle(h);
        return nullptr;
    }
    // Another instance appending at the same moment could let LastByte see
    // its line half-written. Hold a lock byte far past any real data while
    // we look and write: it keeps out other appenders, never readers.
    // Closing the handle releases it.
    OVERLAPPED lockAt = LockByte();
    LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt);
    return new File{h};
}

int LastByte(File* f) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(f->handle, &size) || size.QuadPart == 0) return -1;
    const uint64_t at = static_cast<uint64_t>(size.QuadPart - 1);
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    unsigned char c = 0;
    DWORD n = 0;
    if (!ReadFile(f->handle, &c, 1, &n, &where) || n != 1) return -1;
    return c;
}

bool WriteAll(File* f, std::string_view data, std::string* reason) {
    if (data.size() > std::numeric_limits<DWORD>::max()) {
        if (reason) *reason = "too much data for one write";
        return false;
    }
    const DWORD size = static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (!WriteFile(f->handle, data.data(), size, &written, nullptr)) {
        if (reason) *reason = Reason(GetLastError());
        return false;
    }
    if (written != size) {
        if (reason)
            *reason = "short write (" + std::to_string(written) + " of " + std::to_string(size) + " bytes)";
        return false;
    }
    return true;
}

bool FlushToDisk(File* f, std::string* reason) {
    // NTFS commits the directory entry of a new file with its metadata.
    if (!FlushFileBuffers(f->handle)) {
        if (reason) *reason = Reason(GetLastError());
        return false;
    }
    return true;
}

File* OpenForReading(const std::string& path) {
    const std::wstring w = WidePath(path);
    if (w.empty()) return nullptr;
    // Look before opening: opening a pipe or a device could wait.
    const DWORD attributes = GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return nullptr;
    HANDLE h = CreateFileW(w.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    if (!IsPlainDiskFile(h)) {
        CloseHandle(h);
        return nullptr;
    }
    return new File{h};
}

std::string UserDataDirectory() {
    wchar_t buffer[32768];
    const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, static_cast<DWORD>(std::size(buffer)));
    if (n == 0 || n >= std::size(buffer)) return {};
    std::wstring dir(buffer, n);
    // Only an absolute folder counts.
    if (RootLength(dir) == 0) return {};
    while (dir.size() > RootLength(dir) && IsSeparator(dir.back())) dir.pop_back();
    return Narrow(dir) + "\\Skorrel";
}

bool DirectoryWritable(const std::string& dir) {
    const std::wstring w = WidePath(dir);
    if (w.empty() || !IsDirectory(w)) return false;
    // Access lists, a read-only share or medium: only trying tells. The
    // probe goes away when its handle closes.
    std::wstring probe = w;
    if (!IsSeparator(probe.back())) probe += L'\\';
    probe += L"skorrel-probe-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount()) +
             L".tmp";
    HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_EXISTS;
    CloseHandle(h);
    return true;
}

bool CreateDirectories(const std::string& dir, std::string* reason) {
    const std::wstring w = WidePath(dir);
    if (w.empty()) {
        if (reason) *reason = "not a valid path";
        return false;
    }
    // Each missing level in turn, from the top down.
    for (std::size_t at = RootLength(w); at <= w.size(); ++at) {
        if (at != w.size() && !IsSeparator(w[at])) continue;
        if (at == 0 || IsSeparator(w[at - 1])) continue;
        const std::wstring part = w.substr(0, at);
        if (CreateDirectoryW(part.c_str(), nullptr)) continue;
        const DWORD err = GetLastError();
        // An existing level may also answer "access denied".
        if (IsDirectory(part)) continue;
        if (reason) *reason = Reason(err);
        return false;
    }
    if (!IsDirectory(w)) {
        if (reason) *reason = "not a directory";
        return false;
    }
    return true;
}

std::ptrdiff_t ReadChunk(File* f, char* buffer, std::size_t size) {
    const DWORD want = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD n = 0;
    if (!ReadFile(f->handle, buffer, want, &n, nullptr)) return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return static_cast<std::ptrdiff_t>(n);
}

void CloseFile(File* f) {
    if (!f) return;
    CloseHandle(f->handle);
    delete f;
}

}  // namespace platform
