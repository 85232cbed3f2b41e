// Executable-aware deltas over releases of a small library built by the
// cross compilers, and over a real pair of Windows DLLs: the smaller form
// chosen, and the new file made exactly, whole and with the old file read
// a few uneven bytes at a time as from disk.
#include <gtest/gtest.h>

#include <string>

#include "lzcx/delta_encoder.h"
#include "payload/container.h"
#include "payload/delta.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

Bytes Release(const std::string& name) {
  Bytes b;
  EXPECT_TRUE(ReadFileBytes(std::string(EXE_PAIRS) + "/" + name + ".dll", &b)) << name;
  return b;
}

// An old file handed out at most `window` bytes at a time.
class Windowed : public OldBytes {
 public:
  Windowed(const Bytes& data, uint32_t window) : data_(data), window_(window) {}
  const uint8_t* At(uint32_t pos, uint32_t* available) override {
    const uint32_t left = static_cast<uint32_t>(data_.size()) - pos;
    *available = left < window_ ? left : window_;
    return data_.data() + pos;
  }

 private:
  const Bytes& data_;
  uint32_t window_;
};

// The delta made in its chosen form: *form says which; it makes `new_data`
// from `old_data` both ways, and its stream is sound without the old file.
Bytes ExpectRoundTrip(const Bytes& old_data, const Bytes& new_data, DataForm* form) {
  Bytes data;
  EXPECT_TRUE(EncodeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size(),
                          &data, nullptr, form));
  const Bytes container = MakeContainer({{"f.dll", FormField(*form), data}});
  PayloadReader reader(container.data(), container.size());
  PayloadEntry e;
  EXPECT_TRUE(reader.Start() && reader.Next(&e));
  EXPECT_TRUE(CheckDeltaEntry(e));
  Bytes whole(new_data.size()), streamed(new_data.size());
  DeltaFault fault = kDeltaFine;
  EXPECT_TRUE(ApplyDelta(old_data.data(), static_cast<uint32_t>(old_data.size()), e, whole.data(),
                         &fault))
      << DeltaFaultText(fault);
  EXPECT_TRUE(whole == new_data);
  Windowed old(old_data, 4093);
  SinkToMemory sink(streamed.data(), static_cast<uint32_t>(streamed.size()));
  EXPECT_EQ(StreamDelta(e, &old, &sink), kDeltaFine);
  EXPECT_EQ(sink.crc, e.new_crc);
  EXPECT_TRUE(streamed == new_data);
  return data;
}

// Moved code and data cost their move, not a difference per reference: the
// executable-aware form comes out smaller than the byte-wise one, but where
// only a table of pointers was added and the layout costs more than it
// saves.
TEST(ExeDelta, ReleasesRoundTripInTheSmallerForm) {
  const struct {
    const char* change;
    bool exe;
  } cases[] = {{"insert", true}, {"moved", true}, {"pointers", false}, {"all", true}};
  for (const char* arch : {"x86", "x64"}) {
    const Bytes old_data = Release(std::string(arch) + "-old");
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(arch) + " " + c.change);
      const Bytes new_data = Release(std::string(arch) + "-" + c.change);
      Bytes plain;
      ASSERT_TRUE(EncodeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size(),
                              &plain));
      DataForm form = kFormDelta;
      const Bytes best = ExpectRoundTrip(old_data, new_data, &form);
      EXPECT_EQ(form, c.exe ? kFormExeDelta : kFormDelta);
      if (c.exe) {
        EXPECT_LT(best.size(), plain.size());
      } else {
        EXPECT_EQ(best, plain);
      }
    }
  }
}

// A real pair: two releases of the C runtime as Wine builds it, where the
// machine has Wine (as every one that runs these tests does), for i386 or
// else for x64.
TEST(ExeDelta, RealDllPair) {
  int pairs = 0;
  for (const char* dir : {"/usr/lib/i386-linux-gnu/wine/i386-windows",
                          "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"}) {
    Bytes old_data, new_data;
    if (!ReadFileBytes(std::string(dir) + "/msvcr100.dll", &old_data) ||
        !ReadFileBytes(std::string(dir) + "/msvcr110.dll", &new_data))
      continue;
    SCOPED_TRACE(dir);
    ++pairs;
    Bytes plain;
    ASSERT_TRUE(EncodeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size(),
                            &plain));
    DataForm form = kFormDelta;
    const Bytes best = ExpectRoundTrip(old_data, new_data, &form);
    EXPECT_EQ(form, kFormExeDelta);
    EXPECT_LT(best.size(), plain.size());
    printf("%s: msvcr100 -> msvcr110, %zu bytes new: byte-wise %zu, executable-aware %zu\n",
           dir, new_data.size(), plain.size(), best.size());
    break;
  }
  if (!pairs) GTEST_SKIP() << "no Wine DLLs here";
}

}  // namespace
