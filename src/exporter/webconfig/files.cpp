// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/webconfig/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The folders of the files read so far, held for the process's life. O_PATH
// asks for no right on the folder itself, only that it be reached; a file
// opened through it is still checked against the folder's mode, as an open
// by its whole path would be. The folder's own parent is held too: where
// capability mode forbids a look by the whole path, the folder's name is
// looked up in it, to see whether another folder has taken its place.
struct held_folder {
    char path[4096];
    int descriptor;
    dev_t device;
    ino_t inode;
    int parent; // -1 for the root, or where it could not be opened
    const char* name; // the folder's name in parent, within path
};
constexpr int most_folders = 16;
held_folder folders[most_folders];
int folder_count;

// The held folder of path and the file's name in it; -1 with the reason in
// error (and errno) when the folder cannot be opened.
int folder_of(const char* path, const char** name, char* error, size_t error_size)
{
    const char* slash = strrchr(path, '/');
    *name = slash ? slash + 1 : path;
    char folder[4096];
    if (slash == nullptr)
        strcpy(folder, ".");
    else if (snprintf(folder, sizeof folder, "%.*s", slash == path ? 1 : static_cast<int>(slash - path),
                      path) >= static_cast<int>(sizeof folder)) {
        snprintf(error, error_size, "cannot read %s: path too long", path);
        errno = ENAMETOOLONG;
        return -1;
    }
    for (int k = 0; k < folder_count; k++)
        if (strcmp(folders[k].path, folder) == 0)
            return folders[k].descriptor;
    if (folder_count == most_folders) {
        snprintf(error, error_size, "cannot read %s: files in more than %d folders", path,
                 most_folders);
        errno = EMFILE;
        return -1;
    }
    int descriptor = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat status;
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        int cause = errno;
        if (descriptor >= 0)
            close(descriptor);
        snprintf(error, error_size, "cannot read %s: %s", path, strerror(cause));
        errno = cause;
        return -1;
    }
    held_folder& held = folders[folder_count++];
    strcpy(held.path, folder);
    held.descriptor = descriptor;
    held.device = status.st_dev;
    held.inode = status.st_ino;
    held.parent = -1;
    const char* last = strrchr(held.path, '/');
    held.name = last ? last + 1 : held.path;
    if (held.name[0] != '\0' && strcmp(held.name, ".") != 0 && strcmp(held.name, "..") != 0) {
        // What comes before the last slash: "/" for a folder at the root,
        // "." for a folder named alone.
        char parent[4096] = ".";
        if (last == held.path)
            strcpy(parent, "/");
        else if (last != nullptr)
            snprintf(parent, sizeof parent, "%.*s", static_cast<int>(last - held.path), held.path);
        held.parent = open(parent, O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    return descriptor;
}

void set_mark(const struct stat& status, file_mark* mark)
{
    *mark = file_mark{true, status.st_dev, status.st_ino, status.st_size, status.st_mtim,
                      status.st_ctim};
}

// Frees a file's text, wiped first: it may hold a key.
void free_wiped(char* data, size_t size)
{
    if (data != nullptr)
        gnutls_memset(data, 0, size);
    free(data);
}

// The whole of a regular file whose descriptor is open, at most limit bytes;
// expected is the size fstat gave, which an edit in place may since have changed.
char* read_descriptor(int descriptor, const char* path, size_t limit, size_t expected,
                      char* error, size_t error_size)
{
    // Room for one byte more than expected, which shows growth, and the NUL.
    size_t size = (expected < limit ? expected : limit) + 2;
    char* data = static_cast<char*>(malloc(size));
    size_t used = 0;
    while (data != nullptr) {
        ssize_t got = read(descriptor, data + used, size - 1 - used);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            int cause = errno;
            snprintf(error, error_size, "cannot read %s: %s", path, strerror(cause));
            free_wiped(data, size);
            errno = cause;
            return nullptr;
        }
        if (got == 0) {
            data[used] = '\0';
            return data;
        }
        used += got;
        if (used > limit) {
            snprintf(error, error_size, "cannot read %s: larger than %zu KiB", path, limit / 1024);
            free_wiped(data, size);
            errno = EFBIG;
            return nullptr;
        }
        if (used == size - 1) {
            // Grown by hand rather than by realloc, which would leave the
            // text read so far behind unwiped.
            size_t grown = size * 2 < limit + 2 ? size * 2 : limit + 2;
            char* more = static_cast<char*>(malloc(grown));
            if (more != nullptr)
                memcpy(more, data, used);
            free_wiped(data, size);
            data = more;
            size = grown;
        }
    }
    snprintf(error, error_size, "cannot read %s: out of memory", path);
    errno = ENOMEM;
    return nullptr;
}

} // namespace

char* read_config_file(const char* path, size_t limit, file_mark* mark, char* error,
                       size_t error_size)
{
    *mark = file_mark{};
    const char* name;
    int folder = folder_of(path, &name, error, error_size);
    if (folder < 0)
        return nullptr;
    // Not blocking: a FIFO put in the file's place opens at once, and is then refused.
    int descriptor = openat(folder, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat status;
    if (descriptor < 0) {
        int cause = errno;
        if (fstatat(folder, name, &status, 0) == 0)
            set_mark(status, mark);
        snprintf(error, error_size, "cannot read %s: %s", path, strerror(cause));
        errno = cause;
        return nullptr;
    }
    char* text = nullptr;
    // The mark is of the file read, whatever stands at path by now.
    if (fstat(descriptor, &status) != 0)
        snprintf(error, error_size, "cannot read %s: %s", path, strerror(errno));
    else {
        set_mark(status, mark);
        if (!S_ISREG(status.st_mode)) {
            snprintf(error, error_size, "cannot read %s: not a regular file", path);
            errno = EINVAL;
        } else if (static_cast<size_t>(status.st_size) > limit) {
            snprintf(error, error_size, "cannot read %s: larger than %zu KiB", path, limit / 1024);
            errno = EFBIG;
        } else
            text = read_descriptor(descriptor, path, limit, status.st_size, error, error_size);
    }
    int cause = errno;
    close(descriptor);
    errno = cause;
    return text;
}

void mark_config_file(const char* path, file_mark* mark)
{
    *mark = file_mark{};
    const char* name;
    char error[100];
    struct stat status;
    int folder = folder_of(path, &name, error, sizeof error);
    if (folder >= 0 && fstatat(folder, name, &status, 0) == 0)
        set_mark(status, mark);
}

bool same_mark(const file_mark& a, const file_mark& b)
{
    return a.exists == b.exists && a.device == b.device && a.inode == b.inode && a.size == b.size
        && a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec
        && a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

int follow_config_folders(char* error, size_t error_size)
{
    int result = 0;
    for (int k = 0; k < folder_count && result >= 0; k++) {
        held_folder& held = folders[k];
        struct stat now;
        // The path looked up afresh; where capability mode refuses a path,
        // the folder's name in its held parent.
        int looked = stat(held.path, &now);
        if (looked != 0 && errno != ENOENT && errno != ENOTDIR && held.parent >= 0)
            looked = fstatat(held.parent, held.name, &now, 0);
        if (looked != 0 || !S_ISDIR(now.st_mode)
            || (now.st_dev == held.device && now.st_ino == held.inode))
            continue; // the same folder, or none yet in its place
        int descriptor = open(held.path, O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct stat opened;
        if (descriptor < 0 || fstat(descriptor, &opened) != 0) {
            snprintf(error, error_size, "the folder %s was replaced, and cannot be opened again: %s",
                     held.path, strerror(errno));
            if (descriptor >= 0)
                close(descriptor);
            result = -1;
            break;
        }
        close(held.descriptor);
        held.descriptor = descriptor;
        held.device = opened.st_dev;
        held.inode = opened.st_ino;
        snprintf(error, error_size, "the folder %s was replaced: reading the new one", held.path);
        result = 1;
    }
    return result;
}
