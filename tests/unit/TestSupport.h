// TestSupport.h - what the unit tests share: a fixture over the fake
// platform, a builder of setup files, and exact-size byte buffers.
#ifndef SETUPHDR_TESTS_UNIT_TESTSUPPORT_H
#define SETUPHDR_TESTS_UNIT_TESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FakePlatform.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"

// Resets the fake and points the console at its two captured streams.
class FakePlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    gConsole = ConsoleStreams{fake::kOutput, fake::kError, false, false, 0,
                              nullptr};
  }
  void TearDown() override {
    gConsole = ConsoleStreams{platform::kNoHandle, platform::kNoHandle, false,
                              false, 0, nullptr};
    fake::reset();
  }
  static const std::string& out() { return fake::state().output; }
  static const std::string& err() { return fake::state().error; }
};

// A setup file built in memory: a valid 100-byte header ("MSCE", all other
// fields 0, all three texts at offset 0 with length 0) and whatever a test
// appends behind it.
struct SetupFile {
  std::string bytes = std::string(SetupHeader::kSize, '\0');

  SetupFile() { bytes.replace(0, 4, "MSCE"); }

  SetupFile& u16(std::uint32_t offset, std::uint32_t value) {
    bytes[offset] = static_cast<char>(value & 0xFF);
    bytes[offset + 1] = static_cast<char>((value >> 8) & 0xFF);
    return *this;
  }
  SetupFile& u32(std::uint32_t offset, std::uint32_t value) {
    u16(offset, value & 0xFFFF);
    return u16(offset + 2, value >> 16);
  }
  // Sets the offset and length of a text reference (SetupHeader::k...Text).
  SetupFile& text(std::uint32_t field, std::uint32_t offset,
                  std::uint32_t length) {
    u16(field, offset);
    return u16(field + 2, length);
  }
  // Appends raw bytes and returns the offset they start at.
  std::uint32_t append(const std::string& raw) {
    const auto offset = static_cast<std::uint32_t>(bytes.size());
    bytes += raw;
    return offset;
  }
  // Appends raw bytes and points the text reference at them, with their
  // whole size as the length.
  SetupFile& appendText(std::uint32_t field, const std::string& raw) {
    const std::uint32_t offset = append(raw);
    return text(field, offset, static_cast<std::uint32_t>(raw.size()));
  }
};

// A heap copy of exactly size bytes, so that a read past the end is caught
// by the address sanitizer. With a guard, that many bytes of 'Z' follow the
// copy instead, so that a read past the end shows in the output of a build
// without the sanitizer.
class ExactBytes {
 public:
  explicit ExactBytes(const std::string& bytes, std::size_t guard = 0)
      : size_(static_cast<std::uint32_t>(bytes.size())),
        data_(new unsigned char[bytes.size() + guard]) {
    if (!bytes.empty()) std::memcpy(data_.get(), bytes.data(), bytes.size());
    std::memset(data_.get() + bytes.size(), 'Z', guard);
  }
  unsigned char* data() { return data_.get(); }
  std::uint32_t size() const { return size_; }
  std::string str() const {
    return std::string(reinterpret_cast<const char*>(data_.get()), size_);
  }

 private:
  std::uint32_t size_;
  std::unique_ptr<unsigned char[]> data_;
};

// "a\r\nb\r\n" for the lines {"a", "b"}.
inline std::string crlfLines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

#endif
