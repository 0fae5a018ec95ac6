// File helpers that stand in for the toolkit's file library.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/uniquefd.h"

namespace vbc::platform {

// True when the file can be opened for reading.
bool FileCanOpen(const char* name);

// 1 when the file exists (size written), 0 otherwise; a directory is not a file.
int GetFileInfo(const char* name, std::int64_t* size);

// Reads the whole file, unchanged. False when it cannot be read.
bool ReadWholeFile(const char* name, std::vector<std::uint8_t>& out);

// Reads the first count bytes of the file into buffer. False when fewer could be read.
bool FileToArray(const char* name, std::uint8_t* buffer, std::size_t count);

// Replaces the file with these bytes in one rename, so a stop half-way never loses the old file.
// The bytes go first into a new file beside it, of a name nobody has, created exclusively (a
// name planted in a shared directory is never opened, nor a link followed). Only a regular file
// is replaced: a symbolic link (which a rename would cut from its target), a directory, a device,
// a FIFO or a socket in the file's place is refused (ELOOP, EISDIR, EINVAL) and left as it is.
bool WriteFileAtomically(const char* name, const std::string& bytes);
// The same; on failure error (when given) receives the system's error number.
bool WriteFileAtomically(const char* name, const std::string& bytes, int* error);
// What would make WriteFileAtomically fail at name, in words ("" when nothing is known): what
// stands in the file's place, or why its directory takes no new file (tried with one created
// exclusively there and removed at once). For a job that takes minutes to make the bytes.
std::string AtomicWriteProblem(const char* name);
// An error of WriteFileAtomically in words: a link or a file that is not a regular one said as
// such (the system's texts for ELOOP and EINVAL would mislead), the system's text otherwise.
std::string AtomicWriteErrorText(int error);

// An unchangeable copy of bytes that this process's children open by its path while it is
// held: however the original file changes meanwhile, every child reads these bytes. POSIX: a
// sealed memfd the children inherit (/dev/fd/N). Windows: a file in the temporary folder, held
// open with read sharing only (nobody can write, rename or delete it) and read back to check
// that it holds the bytes; removed when the holder goes.
class SealedImage {
  public:
    SealedImage();
    ~SealedImage();
    SealedImage(SealedImage&& other) noexcept;
    SealedImage& operator=(SealedImage&& other) noexcept;
    SealedImage(const SealedImage&) = delete;
    SealedImage& operator=(const SealedImage&) = delete;

    // False (and error) when the system cannot make one.
    bool Make(const std::vector<std::uint8_t>& bytes, std::string* error);
    // What the children open ("" before Make).
    const std::string& Path() const;
    // The descriptor the children must keep (POSIX), -1 when they open it by name.
    int InheritedFd() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// A file of records, one line each, appended whole: each line goes in one write to a
// file opened for appending, then to the disk (fsync, FlushFileBuffers) before Append returns, so a
// crash or power cut never leaves half a line and loses no line that was appended. A write cut
// short (a full disk, a file-size limit) is taken back, so the file keeps only whole lines.
class AppendFile {
  public:
    // Only a regular file is taken: a FIFO or a device cannot hold the promise above. A last
    // line without its newline (torn by an earlier program) is cut off; tornBytes (when given)
    // receives how many bytes that removed.
    bool Open(const std::string& path, std::string* error, std::size_t* tornBytes = nullptr);
    // line: without its newline.
    bool Append(const std::string& line, std::string* error);

    AppendFile();
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

namespace detail {
// The system's side (platform/posix/files.cpp, platform/win32/files.cpp); 0 or an errno value.
// Puts what was written to the stream on the disk.
int SyncToDisk(std::FILE* stream);
// Renames from to to, replacing to in one step.
int RenameOver(const char* from, const char* to);
// Creates the file path for writing only if no file (nor link) of that name exists: O_CREAT |
// O_EXCL | O_NOFOLLOW, CREATE_NEW on Windows. nullptr and error (EEXIST for a name taken) when
// it cannot.
std::FILE* CreateExclusive(const char* path, int* error);
}  // namespace detail

}  // namespace vbc::platform
