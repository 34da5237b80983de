// A fixed-length array of 64-bit words that lives inside its owner up to InlineWords words and on
// the heap beyond: a buffer of at most InlineWords words copies without allocation.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tessarin {

template <std::size_t InlineWords>
class WordBuffer {
 public:
  static constexpr std::size_t kInlineWords = InlineWords;

  WordBuffer() = default;
  // `size` zero words.
  explicit WordBuffer(std::size_t size) : size_(size) {
    if (size_ > kInlineWords) {
      heap_ = std::make_unique<std::uint64_t[]>(size_);
      capacity_ = size_;
    }
    std::fill_n(data(), size_, 0);
  }
  WordBuffer(const WordBuffer& other) : size_(other.size_) {
    if (size_ > kInlineWords) {
      heap_ = std::make_unique_for_overwrite<std::uint64_t[]>(size_);
      capacity_ = size_;
    }
    std::copy_n(other.data(), size_, data());
  }
  WordBuffer& operator=(const WordBuffer& other) {
    if (this == &other) return *this;
    if (other.size_ > kInlineWords && (heap_ == nullptr || capacity_ < other.size_)) {
      heap_ = std::make_unique_for_overwrite<std::uint64_t[]>(other.size_);
      capacity_ = other.size_;
    }
    if (other.size_ <= kInlineWords) {
      heap_.reset();
      capacity_ = 0;
    }
    size_ = other.size_;
    std::copy_n(other.data(), size_, data());
    return *this;
  }
  WordBuffer(WordBuffer&& other) noexcept { *this = std::move(other); }
  WordBuffer& operator=(WordBuffer&& other) noexcept {
    if (this == &other) return *this;
    if (other.heap_ != nullptr) {
      heap_ = std::move(other.heap_);
      capacity_ = other.capacity_;
    } else {
      heap_.reset();
      std::copy_n(other.inline_, other.size_, inline_);
    }
    size_ = other.size_;
    other.size_ = 0;
    other.capacity_ = 0;
    return *this;
  }
  ~WordBuffer() = default;

  std::uint64_t* data() { return heap_ != nullptr ? heap_.get() : inline_; }
  const std::uint64_t* data() const { return heap_ != nullptr ? heap_.get() : inline_; }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<std::uint64_t[]> heap_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // of heap_
  std::uint64_t inline_[kInlineWords];
};

}  // namespace tessarin
