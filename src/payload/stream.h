// Decoding a piece at a time: where the decoders put what they make, and
// where a delta reads its old file. No decoder holds a whole file: a block
// needs its window, a delta its models and a window of the old file, so a
// file of any size is written in memory of a bounded size.
#ifndef PATCHER_PAYLOAD_STREAM_H
#define PATCHER_PAYLOAD_STREAM_H

#include <stdint.h>

// The bytes a decoder hands on at a time, at most: big enough that a write
// costs little per byte, small enough to be nothing in a 32-bit process.
const uint32_t kStreamPiece = 1u << 20;

// Takes a decoder's output in order, and sums its CRC-32C as it goes.
// Take is nonzero when the sink took the bytes; zero stops the decode (the
// sink knows why).
class ByteSink {
 public:
  int Take(const uint8_t* data, uint32_t size);
  uint32_t crc = 0;  // of everything taken

 protected:
  ~ByteSink() {}
  virtual int Put(const uint8_t* data, uint32_t size) = 0;
};

// A sink that only sums.
class SumOnly : public ByteSink {
 protected:
  int Put(const uint8_t*, uint32_t) override { return 1; }
};

// Puts `size` bytes into `sink` in pieces of at most kStreamPiece; zero
// when it stopped.
int PutPieces(ByteSink* sink, const uint8_t* data, uint32_t size);

// A delta's old file, read by position. At returns the bytes at `pos`
// (below the old size) and in *available how many follow there (at least
// one); null when they cannot be read, which stops the decode (the source
// knows why).
class OldBytes {
 public:
  virtual const uint8_t* At(uint32_t pos, uint32_t* available) = 0;

 protected:
  ~OldBytes() {}
};

// An old file already in memory.
class OldInMemory : public OldBytes {
 public:
  OldInMemory(const uint8_t* data, uint32_t size) : data_(data), size_(size) {}
  const uint8_t* At(uint32_t pos, uint32_t* available) override {
    *available = size_ - pos;
    return data_ + pos;
  }

 private:
  const uint8_t* data_;
  uint32_t size_;
};

// Output into a buffer of known size: Put never writes past its end.
class SinkToMemory : public ByteSink {
 public:
  SinkToMemory(uint8_t* out, uint32_t size) : out_(out), left_(size) {}

 protected:
  int Put(const uint8_t* data, uint32_t size) override;

 private:
  uint8_t* out_;
  uint32_t left_;
};

#endif  // PATCHER_PAYLOAD_STREAM_H
