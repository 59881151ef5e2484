// Files written whole: a buffer written to its end, and a new file that takes
// the place of an old one only once it is complete on the disk.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Writes all of `data` to `fd`, resuming after signals. A descriptor that is
// not ready (O_NONBLOCK: a FIFO whose reader is slow or gone) is waited for in
// steps of 100 ms; once `*stop` is nonzero the write gives up with EINTR.
bool write_all(int fd, const void* data, std::size_t size,
               const volatile sig_atomic_t* stop = nullptr);

// The path of an executable `name` in a folder of PATH, or an empty text.
std::string find_on_path(const std::string& name);

// The mode a new file at `path` gets: the mode of the file there, or 0666 less
// the umask when there is none.
mode_t new_file_mode(const std::string& path);

// A file being written in the place of `target`. Until committed it has no name
// (O_TMPFILE), or, where the file system refuses that, a temporary name beside
// the target that a second termination signal still removes.
struct Replacement {
    int fd = -1;
    std::string target;  // the path replaced: a symbolic link's final target
    int dir_fd = -1;     // the target's folder
    std::string name;    // the target's name in it
    std::string temp;    // the temporary name in it, when the file has one
};

// Starts a replacement of `path`, which must not exist, be a regular file, or be
// a symbolic link to one (the link stays and its target is replaced; unless
// `follow_link` is false: then the link itself is replaced). The new file gets
// the mode of the file it replaces. False with errno on failure.
bool begin_replacement(const std::string& path, Replacement& r, bool follow_link = true);

// Flushes the file to the disk and gives it the target's name; the descriptor
// is closed either way. False with errno on failure, the target then untouched.
bool commit_replacement(Replacement& r);

// Drops the file: the target stays as it was and no temporary name is left.
void abandon_replacement(Replacement& r);

// Writes `bytes` in the place of `path` whole, through a replacement; false
// with errno, `path` then as it was.
bool write_file_whole(const std::string& path, const std::string& bytes, bool follow_link = true);

// The whole of the file at `path`; false with errno when it cannot be read.
bool read_whole_file(const std::string& path, std::string& out);

// A part of a regular file named plainly inside `folder` (no '/' in `name`, no
// symbolic link followed): at most `most` bytes from its start, or from its
// end when `from_end`, and the file's whole size. False with errno when there
// is no such file.
struct FilePart {
    std::string bytes;
    std::uint64_t size = 0;
};
bool read_file_part(const std::string& folder, const std::string& name, std::size_t most,
                    bool from_end, FilePart& out);
