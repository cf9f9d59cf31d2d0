// Files on POSIX systems, shared by the Linux and the test backends.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace platform {

struct File {
    int fd;
    // Set when this open created the file: its directory entry must reach
    // the disk too.
    std::string createdIn;
};

namespace {

std::string Reason(int err) { return std::strerror(err); }

}  // namespace

File* OpenForAppend(const std::string& path, std::string* reason) {
    // Read access too, to see whether the file ends in a line break; a
    // file we may only write to is still appended to.
    const auto open = [&](int flags) {
        int fd;
        do {
            fd = ::open(path.c_str(), O_RDWR | flags, 0644);
            if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | flags, 0644);
        } while (fd < 0 && errno == EINTR);
        return fd;
    };
    // O_NONBLOCK so that a FIFO in the file's place cannot hang the open.
    const int flags = O_APPEND | O_CLOEXEC | O_NONBLOCK;
    bool created = false;
    int fd = open(flags);
    if (fd < 0 && errno == ENOENT) {
        fd = open(flags | O_CREAT);
        created = fd >= 0;
    }
    if (fd < 0) {
        if (reason) *reason = Reason(errno);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (reason) *reason = "not a regular file";
        ::close(fd);
        return nullptr;
    }
    // Another instance appending at the same moment grows the file a page
    // at a time, so LastByte could see its line half-written and start
    // ours with a needless line break. Hold the file while we look and
    // write; others hold it only for one write and flush.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    File* f = new File{fd, {}};
    if (created) {
        const std::size_t slash = path.rfind('/');
        f->createdIn = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    }
    return f;
}

int LastByte(File* f) {
    struct stat st;
    if (::fstat(f->fd, &st) != 0 || st.st_size == 0) return -1;
    unsigned char c = 0;
    ssize_t n = ::pread(f->fd, &c, 1, st.st_size - 1);
    return n == 1 ? c : -1;
}

bool WriteAll(File* f, std::string_view data, std::string* reason) {
    ssize_t n;
    do {
        n = ::write(f->fd, data.data(), data.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (reason) *reason = Reason(errno);
        return false;
    }
    if (static_cast<size_t>(n) != data.size()) {
        if (reason) *reason = "short write (" + std::to_string(n) + " of " + std::to_string(data.size()) + " bytes)";
        // Take the torn piece back, unless someone has appended after it:
        // cut inside its number it would read as a much better time.
        const off_t end = ::lseek(f->fd, 0, SEEK_CUR);
        struct stat st;
        if (end >= n && ::fstat(f->fd, &st) == 0 && st.st_size == end) {
            if (::ftruncate(f->fd, end - n) != 0) {
                // Nothing more to do: the next append starts a fresh line.
            }
        }
        return false;
    }
    return true;
}

bool FlushToDisk(File* f, std::string* reason) {
    if (::fsync(f->fd) != 0) {
        if (reason) *reason = Reason(errno);
        return false;
    }
    if (!f->createdIn.empty()) {
        // Best effort: the record itself is on the disk, and some file
        // systems refuse to sync a directory.
        const int dir = ::open(f->createdIn.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return true;
}

File* OpenForReading(const std::string& path) {
    // O_NONBLOCK so that a FIFO in the file's place cannot hang the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return new File{fd, {}};
}

std::ptrdiff_t ReadChunk(File* f, char* buffer, std::size_t size) {
    ssize_t n;
    do {
        n = ::read(f->fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

void CloseFile(File* f) {
    if (!f) return;
    ::close(f->fd);
    delete f;
}

bool DirectoryWritable(const std::string& dir) {
    // access() also answers for a read-only mount, which stops even root.
    struct stat st;
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

bool CreateDirectories(const std::string& dir, std::string* reason) {
    // Each missing level in turn, from the top down.
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0755) == 0 || errno == EEXIST) continue;
        if (reason) *reason = Reason(errno);
        return false;
    }
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (reason) *reason = "not a directory";
        return false;
    }
    return true;
}

}  // namespace platform
