// A fixed-size single-producer/single-consumer ring of trivially copyable values. One thread
// writes, one other thread reads; neither ever blocks, allocates or takes a lock, so it can stand
// between a real-time thread and a slower one. All storage is allocated by the constructor.
//
// The indices only grow (64 bits never wrap in practice); the producer publishes its index with
// release after copying, the consumer reads it with acquire before copying, and the reverse for
// the consumer's index. Each index sits on its own cache line.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace ondrel {

template <typename T>
class SpscRing {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  explicit SpscRing(std::size_t capacity) : buffer_(std::max<std::size_t>(capacity, 1)) {}
  SpscRing(const SpscRing&) = delete;
  SpscRing& operator=(const SpscRing&) = delete;

  std::size_t capacity() const { return buffer_.size(); }

  // Producer side.
  std::size_t writeAvailable() const {
    return capacity() - std::size_t(write_.load(std::memory_order_relaxed) -
                                    read_.load(std::memory_order_acquire));
  }
  // Copies up to count values in; returns how many fitted.
  std::size_t write(const T* values, std::size_t count) {
    const std::uint64_t w = write_.load(std::memory_order_relaxed);
    count = std::min(count, writeAvailable());
    copyIn(w, values, count);
    write_.store(w + count, std::memory_order_release);
    return count;
  }
  bool push(const T& value) { return write(&value, 1) == 1; }
  // Takes back up to count of the newest values not yet read; returns how many. Only for a ring
  // whose producer and consumer are the same thread.
  std::size_t unwrite(std::size_t count) {
    count = std::min(count, readAvailable());
    write_.store(write_.load(std::memory_order_relaxed) - count, std::memory_order_release);
    return count;
  }

  // Consumer side.
  std::size_t readAvailable() const {
    return std::size_t(write_.load(std::memory_order_acquire) -
                       read_.load(std::memory_order_relaxed));
  }
  // Copies up to count values out without consuming them; returns how many.
  std::size_t peek(T* values, std::size_t count) const {
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    count = std::min(count, readAvailable());
    copyOut(r, values, count);
    return count;
  }
  // Consumes up to count values; returns how many.
  std::size_t skip(std::size_t count) {
    count = std::min(count, readAvailable());
    read_.store(read_.load(std::memory_order_relaxed) + count, std::memory_order_release);
    return count;
  }
  std::size_t read(T* values, std::size_t count) { return skip(peek(values, count)); }
  // The oldest value, not consumed.
  const T* front() const {
    return readAvailable() > 0 ? &buffer_[read_.load(std::memory_order_relaxed) % capacity()]
                               : nullptr;
  }
  bool pop(T& value) { return read(&value, 1) == 1; }

 private:
  void copyIn(std::uint64_t at, const T* values, std::size_t count) {
    const std::size_t start = std::size_t(at % capacity());
    const std::size_t first = std::min(count, capacity() - start);
    std::copy_n(values, first, buffer_.data() + start);
    std::copy_n(values + first, count - first, buffer_.data());
  }
  void copyOut(std::uint64_t at, T* values, std::size_t count) const {
    const std::size_t start = std::size_t(at % capacity());
    const std::size_t first = std::min(count, capacity() - start);
    std::copy_n(buffer_.data() + start, first, values);
    std::copy_n(buffer_.data(), count - first, values + first);
  }

  std::vector<T> buffer_;
  alignas(64) std::atomic<std::uint64_t> write_{0};
  alignas(64) std::atomic<std::uint64_t> read_{0};
};

}  // namespace ondrel
