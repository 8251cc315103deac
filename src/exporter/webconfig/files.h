// SPDX-License-Identifier: BSD-2-Clause
// The files of the web configuration, read through their folders, which are
// opened once and held: on FreeBSD the metrics side then reads them again in
// Capsicum's capability mode, where no path can be opened from the root.
// One thread at a time calls these.
#pragma once

#include <cstddef>
#include <ctime>
#include <sys/types.h>

// A file as it stood: a change to any of these calls for a new read.
struct file_mark {
    bool exists;
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified, changed;
};

// Reads the regular file at path whole, at most limit bytes; returns its text
// with a NUL after it (to free), and in *mark the file that was read. Null
// with the reason in error; *mark is then the file that stands at path, if
// any, so that a change to it is seen. A folder not held yet is opened here,
// which capability mode refuses.
char* read_config_file(const char* path, size_t limit, file_mark* mark, char* error,
                       size_t error_size);

// The file that stands at path now, to compare with the mark of the last read.
void mark_config_file(const char* path, file_mark* mark);

bool same_mark(const file_mark& a, const file_mark& b);

// Looks whether each folder held is still the one at its path (device and
// inode). A folder replaced, renamed over as deployment tools do, is opened
// again by its path. 0 when none was replaced; 1 when one was, and opened
// again (the files are then to be read again); -1 when one was replaced and
// cannot be opened again, as in capability mode. For 1 and -1, error tells.
int follow_config_folders(char* error, size_t error_size);
