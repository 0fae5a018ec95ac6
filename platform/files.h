// File helpers that stand in for the toolkit's file library.
#pragma once

#include <cstdint>
#include <cstdio>
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
bool WriteFileAtomically(const char* name, const std::string& bytes);
// The same; on failure error (when given) receives the system's error number.
bool WriteFileAtomically(const char* name, const std::string& bytes, int* error);

// An unchangeable copy of bytes that this process's children open by the returned path while
// holder stays open: however the original file changes meanwhile, every child reads these
// bytes. "" (and error) when the system cannot make one.
std::string SealedCopy(const std::vector<std::uint8_t>& bytes, UniqueFd* holder,
                       std::string* error);

// A file of records, one line each, appended whole: each line goes in one write to a
// descriptor opened for appending, then to the disk (fsync) before Append returns, so a crash
// or power cut never leaves half a line and loses no line that was appended. A write cut short
// (a full disk, a file-size limit) is taken back, so the file keeps only whole lines.
class AppendFile {
  public:
    // Only a regular file is taken: a FIFO or a device cannot hold the promise above. A last
    // line without its newline (torn by an earlier program) is cut off; tornBytes (when given)
    // receives how many bytes that removed.
    bool Open(const std::string& path, std::string* error, std::size_t* tornBytes = nullptr);
    // line: without its newline.
    bool Append(const std::string& line, std::string* error);

  private:
    UniqueFd fd_;
};

namespace detail {
// The system's side (platform/posix/files.cpp, platform/win32/files.cpp); 0 or an errno value.
// Puts what was written to the stream on the disk.
int SyncToDisk(std::FILE* stream);
// Renames from to to, replacing to in one step.
int RenameOver(const char* from, const char* to);
}  // namespace detail

}  // namespace vbc::platform
