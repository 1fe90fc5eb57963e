// Unbuffered files for the capture directory, and reading a file back.
//
// Files are written straight through the OS handle: every `write_file` call hands all of its bytes
// to the system before it returns (looping on short writes, retrying on EINTR), so whatever has
// been written is in the file if the process is stopped. On Windows files are opened with read,
// write and delete sharing, so other programs can read a log while a capture runs, and a log is
// read with the same sharing, so a capture that is still writing it is not disturbed.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/local_time.h"
#include "platform/native_handle.h"

namespace kelp {

inline constexpr char PATH_SEPARATOR =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

// Closes a file handle of this platform (a descriptor, or a HANDLE on Windows).
void close_file(std::intptr_t native);

// An open file; closes itself when destroyed. Move-only.
using FileHandle = NativeHandle<close_file>;

enum class CreateResult { Created, AlreadyExists, Failed };

// Creates a directory and its missing parents; an existing directory is fine. On failure gives
// the OS error code.
std::expected<void, int> make_directories(const std::string& path);

// Creates a new file for writing; never opens or truncates an existing one. `error` receives the
// OS code when the result is Failed.
CreateResult create_new_file(const std::string& path, FileHandle& out, int& error);

// Writes every byte; gives the OS error code of the first failed write. Interrupted writes are
// retried.
std::expected<void, int> write_file(FileHandle& file, std::span<const std::uint8_t> bytes);
std::expected<void, int> write_file(FileHandle& file, std::string_view text);

// Writes the pieces in order, in one system call where the system can gather them. A piece whose
// write fails is given up (what of it was written stays in the file) and the next one is tried,
// so a failure costs only the piece it hit. Interrupted writes are retried.
void write_pieces(FileHandle& file, std::span<const std::string_view> pieces);

// Hands what has been written to the file down to the storage device, so that it survives a
// power cut or a pulled cable (fsync; FlushFileBuffers on Windows). Gives the OS error code.
std::expected<void, int> sync_file(FileHandle& file);

// The names (UTF-8) of the regular files in a directory, links to regular files included, in no
// particular order; subdirectories and everything else left out. On Windows a name that is no
// valid UTF-16 is left out too (no UTF-8 path could open it). When the directory cannot be read
// (not there, not a directory, no permission) gives the OS error code.
std::expected<std::vector<std::string>, int> list_directory_files(const std::string& path);

// The path of `name` in the directory `directory`, joined with the platform's separator unless
// the directory already ends in one (or, on Windows, is a drive such as "D:").
std::string path_in_directory(std::string_view directory, std::string_view name);

// The whole content of a file; on failure the OS error code. `stop`, asked between reads, ends
// the reading early (an endless device or pipe is read until then); a content that memory cannot
// hold is the system's "out of memory" error.
std::expected<std::string, int> read_whole_file(const std::string& path, bool (*stop)() = nullptr);

// When the file was last written, in local time; nothing when the system cannot tell.
std::optional<LocalTime> file_modified_time(const std::string& path);

// Deletes a file; failures are ignored (used to take back a file that could not be completed).
void remove_file(const std::string& path);

enum class PathKind { Missing, RegularFile, Directory, Other };

// What a path names: a regular file, a directory, or something else (a device such as /dev/null or
// NUL, a pipe, a socket). Missing also when the system cannot tell: creating the file then says
// why. Nothing is opened to find out, so naming a serial port does nothing to its lines.
PathKind path_kind(const std::string& path);

// Whether the standard output is a terminal (a console window on Windows).
bool standard_output_is_terminal();

// Writes bytes to the standard output as they are, never translated (binary output: a file for
// another program), past the console's queue. Gives the OS error code of a failed write; Ctrl+C
// ends a write that waits for a reader (POSIX: EINTR).
std::expected<void, int> write_standard_output(std::span<const std::uint8_t> bytes);

}  // namespace kelp
