#include "sources.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvel {

size_t ByteSource::skip(size_t n) {
  uint8_t scratch[4096];
  size_t done = 0;
  while (done < n) {
    size_t want = std::min(sizeof scratch, n - done);
    size_t got = read(scratch, want);
    done += got;
    if (got < want) break;
  }
  return done;
}

bool ByteSource::read_at(uint64_t, uint8_t*, size_t, size_t&) { return false; }

bool MemorySource::read_at(uint64_t offset, uint8_t* dst, size_t n, size_t& got) {
  got = offset < size_ ? static_cast<size_t>(std::min<uint64_t>(n, size_ - offset)) : 0;
  if (got) std::memcpy(dst, data_ + offset, got);
  return true;
}

size_t MemorySource::read(uint8_t* dst, size_t n) {
  size_t got = std::min(n, size_ - pos_);
  if (got) std::memcpy(dst, data_ + pos_, got);
  pos_ += got;
  return got;
}

size_t MemorySource::skip(size_t n) {
  size_t got = std::min(n, size_ - pos_);
  pos_ += got;
  return got;
}

int open_for_reading(const char* path, int& error, uint64_t& size, bool& regular) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (S_ISDIR(st.st_mode)) {
    error = EISDIR;
  } else {
    size = static_cast<uint64_t>(st.st_size);
    regular = S_ISREG(st.st_mode);
    return fd;
  }
  ::close(fd);
  return -1;
}

FileSource::FileSource(const char* path) {
  fd_ = open_for_reading(path, error_, size_, positional_);
}

FileSource::~FileSource() {
  if (fd_ >= 0) ::close(fd_);
}

// Up to n bytes into dst, at `at` when given (pread), else where the
// descriptor stands.
size_t FileSource::transfer(uint8_t* dst, size_t n, const uint64_t* at) {
  size_t got = 0;
  while (got < n) {
    const size_t want = std::min<size_t>(n - got, size_t(1) << 30);
    const ssize_t k = at ? ::pread(fd_, dst + got, want, static_cast<off_t>(*at + got))
                         : ::read(fd_, dst + got, want);
    if (k < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      throw ExternalError();
    }
    if (k == 0) break;
    got += static_cast<size_t>(k);
  }
  return got;
}

size_t FileSource::read(uint8_t* dst, size_t n) {
  // Regular files are read where the reader stands: a skip is then no
  // system call at all.
  const size_t got = transfer(dst, n, positional_ ? &pos_ : nullptr);
  pos_ += got;
  return got;
}

bool FileSource::read_at(uint64_t offset, uint8_t* dst, size_t n, size_t& got) {
  if (!positional_) return false;
  got = transfer(dst, n, &offset);
  return true;
}

size_t FileSource::skip(size_t n) {
  // Regular files seek; anything else (a pipe named by path) reads.
  const uint64_t left = size_ > pos_ ? size_ - pos_ : 0;
  const size_t step = static_cast<size_t>(std::min<uint64_t>(n, left));
  if (positional_) {
    pos_ += step;
    return step == n ? n : step + ByteSource::skip(n - step);
  }
  if (step && ::lseek(fd_, static_cast<off_t>(step), SEEK_CUR) >= 0) {
    pos_ += step;
    if (step == n) return n;
    return step + ByteSource::skip(n - step);
  }
  return ByteSource::skip(n);
}

}  // namespace korvel
