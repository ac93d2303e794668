// Stream buffers that make a reader take the slow roads: one byte in the get area at a time,
// or no get area at all. The bytes they hand out must outlive them.
#pragma once

#include <cstddef>
#include <streambuf>
#include <string_view>

namespace gridloom::testsupport {

// One byte in the get area at a time: every look-ahead past it refills.
class OneByteBuffer : public std::streambuf {
 public:
  explicit OneByteBuffer(std::string_view data) : data_(data) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (pos_ >= data_.size()) return traits_type::eof();
    current_ = data_[pos_++];
    setg(&current_, &current_, &current_ + 1);
    return traits_type::to_int_type(current_);
  }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
  char current_ = 0;
};

// No get area at all: every look-ahead is an underflow and every take an uflow.
class UnbufferedBuffer : public std::streambuf {
 public:
  explicit UnbufferedBuffer(std::string_view data) : data_(data) {}

 protected:
  int_type underflow() override {
    return pos_ < data_.size() ? traits_type::to_int_type(data_[pos_]) : traits_type::eof();
  }
  int_type uflow() override {
    return pos_ < data_.size() ? traits_type::to_int_type(data_[pos_++]) : traits_type::eof();
  }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

}  // namespace gridloom::testsupport
