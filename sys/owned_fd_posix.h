// One owner for one POSIX descriptor: closed when the owner goes, or
// earlier by reset(); release() hands it on explicitly. With OwnedStream
// (sys/owned_stream.h, included here for the POSIX files that use both),
// the only places in the product that call close() or fclose().
#pragma once
#include <unistd.h>

#include "sys/owned_stream.h"

class OwnedFd {
 public:
  OwnedFd() : fd_(-1) {}
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() { reset(); }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  OwnedFd(OwnedFd&& other) : fd_(other.release()) {}
  OwnedFd& operator=(OwnedFd&& other) {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and tells whether the close succeeded (a write's last error
  // can surface only here). 1 on success.
  int close() {
    if (fd_ < 0) return 0;
    int ok = ::close(fd_) == 0;
    fd_ = -1;
    return ok;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};
