// One owner for one stdio stream: closed when the owner goes, or earlier by
// reset(); release() hands it on explicitly. Platform-neutral, so the
// Windows programs and the portable tools own their FILE* the same way.
#pragma once
#include <cstdio>

class OwnedStream {
 public:
  OwnedStream() : stream_(nullptr) {}
  explicit OwnedStream(FILE* stream) : stream_(stream) {}
  ~OwnedStream() { reset(); }
  OwnedStream(const OwnedStream&) = delete;
  OwnedStream& operator=(const OwnedStream&) = delete;

  FILE* get() const { return stream_; }
  bool valid() const { return stream_ != nullptr; }
  void reset(FILE* stream = nullptr) {
    if (stream_) std::fclose(stream_);
    stream_ = stream;
  }
  // Closes now: 1 when everything buffered reached the file.
  int close() {
    if (!stream_) return 0;
    int ok = std::fclose(stream_) == 0;
    stream_ = nullptr;
    return ok;
  }
  FILE* release() {
    FILE* stream = stream_;
    stream_ = nullptr;
    return stream;
  }

 private:
  FILE* stream_;
};
