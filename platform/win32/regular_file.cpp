#include "platform/regular_file.h"

#include <fcntl.h>
#include <io.h>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide_text.h"

namespace platform {
namespace {

Status StatusOfLastError() {
  switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return Status::kMissing;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return Status::kNoAccess;
    default:
      return Status::kReadFailed;
  }
}

// A file on a disk, not a folder: COM ports, pipes, the console and NUL are character or pipe
// handles, and a read from them could wait for ever.
bool IsRegular(HANDLE file) {
  if (::GetFileType(file) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) return false;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

namespace {

// Reads the open file `file` as ReadRegularFile describes.
Status ReadOpened(HANDLE file, std::size_t max_bytes, bool whole_only, std::vector<uint8_t>& out) {
  if (!IsRegular(file)) return Status::kNotRegular;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file, &size)) return Status::kReadFailed;
  const std::size_t bytes = static_cast<std::size_t>(size.QuadPart);
  if (whole_only && bytes > max_bytes) return Status::kTooLarge;
  out.resize(bytes < max_bytes ? bytes : max_bytes);
  std::size_t got = 0;
  while (got < out.size()) {
    const std::size_t left = out.size() - got;
    DWORD n = 0;
    if (!::ReadFile(file, out.data() + got, left > 1u << 30 ? 1u << 30 : static_cast<DWORD>(left), &n,
                    nullptr))
      return Status::kReadFailed;
    if (n == 0) break;  // the file shrank meanwhile: what it holds now
    got += n;
  }
  out.resize(got);
  return Status::kOk;
}

Status ReadNamedFile(const std::string& path, bool follow_link, std::size_t max_bytes, bool whole_only,
                     std::vector<uint8_t>& out) {
  out.clear();
  const DWORD attributes = ::GetFileAttributesW(Utf16(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return Status::kNotRegular;
  // Without following: the reparse point itself is opened, and refused below.
  UniqueHandle file(::CreateFileW(
      Utf16(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr));
  if (!file) return StatusOfLastError();
  if (!follow_link) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info)) return Status::kReadFailed;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Status::kLink;
  }
  return ReadOpened(file.get(), max_bytes, whole_only, out);
}

}  // namespace

Status ReadRegularFile(const std::string& path, std::size_t max_bytes, bool whole_only,
                       std::vector<uint8_t>& out) {
  return ReadNamedFile(path, true, max_bytes, whole_only, out);
}

Status ReadRegularFileItself(const std::string& path, std::size_t max_bytes, bool whole_only,
                             std::vector<uint8_t>& out) {
  return ReadNamedFile(path, false, max_bytes, whole_only, out);
}

// Windows has no groups that a relay serves: it runs in the session of the user whose programs use
// it and reads their files with that user's rights.
Status ReadFileForGroup(const std::string& path, long /*gid*/, std::size_t max_bytes, bool whole_only,
                        std::vector<uint8_t>& out) {
  return ReadRegularFileItself(path, max_bytes, whole_only, out);
}

UniqueFile OpenFile(const std::string& path, const char* mode) {
  return UniqueFile(::_wfopen(Utf16(path).c_str(), Utf16(mode).c_str()));
}

Result CreatePrivateFile(const std::string& path, UniqueFile& out) {
  out.reset();
  // The reparse point itself is opened, never its target: a link planted in the file's place must
  // not make the writer empty another file. Not truncated by the open: what is there is checked first.
  UniqueHandle file(::CreateFileW(Utf16(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    if (StatusOfLastError() == Status::kNoAccess)
      return Fail(Status::kNoAccess, path + ": permission denied");
    return Fail(Status::kWriteFailed, path + ": cannot be created");
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file.get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Fail(Status::kNotRegular, path + ": not a regular file");
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return Fail(Status::kLink, path + ": a link; it is not followed");
  if (!::SetEndOfFile(file.get())) return Fail(Status::kWriteFailed, path + ": cannot be emptied");
  // The file is the user's alone by the folder's inherited permissions; writes go through a stream.
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_WRONLY | _O_BINARY);
  if (fd < 0) return Fail(Status::kWriteFailed, path + ": cannot be opened as a stream");
  file.Release();  // the descriptor owns it now
  UniqueFile stream(::_fdopen(fd, "wb"));
  if (!stream) {
    ::_close(fd);
    return Fail(Status::kWriteFailed, path + ": cannot be opened as a stream");
  }
  out = std::move(stream);
  return Ok();
}

}  // namespace platform
