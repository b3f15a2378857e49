// The file layer on Windows: CreateFileW, ReadFile at an OVERLAPPED offset,
// GetFileInformationByHandle. Paths arrive as UTF-8 and are converted to
// UTF-16; system error codes are mapped to errno values for Error::os_errno
// while the message keeps the system's own text and code.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

#include "cfb/file.hpp"

namespace kelvara::cfb {
namespace {

// Largest single ReadFile: the length is a DWORD.
constexpr std::size_t kMaxReadChunk = std::size_t{1} << 30;

// Reported for a directory, which has no bytes to read as a container.
constexpr DWORD kDirectoryNotSupported = 336;  // ERROR_DIRECTORY_NOT_SUPPORTED

int errno_of(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case kDirectoryNotSupported:
      return EISDIR;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NO_UNICODE_TRANSLATION:
      return EINVAL;
    default:
      return EIO;
  }
}

std::string utf8_of(const wchar_t* text, int length) {
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
  return out;
}

// The system's text for `code`, on one line, as "{text} (os error {code})".
Unexpected<Error> os_error(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) text = utf8_of(buffer, static_cast<int>(length));
  if (buffer != nullptr) ::LocalFree(buffer);
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.empty()) {
    // Not every system has a text for every code.
    text = code == kDirectoryNotSupported ? "An operation is not supported on a directory." : "Unknown system error";
  }
  return Unexpected<Error>(Error::io(text + " (os error " + std::to_string(code) + ")", errno_of(code)));
}

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Strict UTF-8 to UTF-16 through the system; invalid UTF-8 is an error.
Expected<std::wstring, Error> wide_path(const std::string& path) {
  if (path.empty()) return std::wstring();
  if (path.size() > 0x7FFFFFFF) return os_error(ERROR_FILENAME_EXCED_RANGE);
  const int size = static_cast<int>(path.size());
  const int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, nullptr, 0);
  if (units <= 0) return os_error(::GetLastError());
  std::wstring out(static_cast<std::size_t>(units), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, out.data(), units);
  return out;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool starts_with(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// A path whose full form reaches MAX_PATH characters opens only in the
// extended form, "\\?\C:\..." or "\\?\UNC\server\share\...", which
// must be absolute, with backslashes and no "." or ".." parts: the full path
// from GetFullPathNameW is all of that. Shorter paths are used as given.
std::wstring openable_path(const std::wstring& path) {
  if (starts_with(path, L"\\\\?\\")) return path;
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  if (full.size() < MAX_PATH || starts_with(full, L"\\\\.\\") || starts_with(full, L"\\\\?\\")) return path;
  if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace

bool is_path_separator(char c) noexcept { return c == '/' || c == '\\'; }

// Nothing is handed back early on Windows; the buffer is freed whole later.
void discard_pages(std::uint8_t*, std::uint8_t*) noexcept {}

Expected<File, Error> File::open_read_only(const std::string& path) {
  if (path.find('\0') != std::string::npos) return nul_in_path();
  KELVARA_TRY(given, wide_path(path));
  const std::wstring wide = openable_path(*given);
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    // A directory cannot be opened for reading as a file. Open it for its
    // attributes only, so that size() refuses it as on POSIX systems.
    if (code == ERROR_ACCESS_DENIED) {
      const DWORD attributes = ::GetFileAttributesW(wide.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        h = ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      }
    }
    if (h == INVALID_HANDLE_VALUE) return os_error(code);
  }
  return File(reinterpret_cast<std::intptr_t>(h));
}

void File::close() noexcept {
  if (handle_ != -1) ::CloseHandle(handle_of(handle_));
  handle_ = -1;
}

Expected<void, Error> File::read_exact_at(std::uint64_t offset, void* out, std::size_t length) const {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  while (done < length) {
    const std::uint64_t at = offset + done;
    if (at < offset || at > static_cast<std::uint64_t>(INT64_MAX)) return beyond_any_offset(offset, length);
    const auto chunk = static_cast<DWORD>(std::min(length - done, kMaxReadChunk));
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!::ReadFile(handle_of(handle_), bytes + done, chunk, &got, &where)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_HANDLE_EOF) return ended_early(offset, length, done);
      return os_error(code);
    }
    if (got == 0) return ended_early(offset, length, done);
    done += got;
  }
  return {};
}

Expected<std::uint64_t, Error> File::size() const {
  const HANDLE h = handle_of(handle_);
  // Pipes, consoles and other devices report no size of their own.
  if (::GetFileType(h) != FILE_TYPE_DISK) return std::uint64_t{0};
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info)) return os_error(::GetLastError());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return os_error(kDirectoryNotSupported);
  return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

}  // namespace kelvara::cfb
