// A fixed-size single-producer/single-consumer queue of trivially copyable values. One thread
// writes, one other thread reads; neither ever blocks, allocates or takes a lock, so it can stand
// between a real-time thread and a slower one. All storage is allocated by the constructor.
//
// The indices only grow (64 bits never wrap in practice); the producer publishes its index with
// release after copying, the consumer reads it with acquire before copying, and the reverse for
// the consumer's index. Each index sits on its own cache line.
//
// Memory: the rings here are sized for a rare long stall (10 s of audio) but are read about as
// fast as they are written. A plain ring would cycle through all of its buffer and keep every
// page of it resident. Here the storage is a pool of 4 KiB blocks, never zero-filled: value i
// lives in the block the producer took for block number i / kBlock, and a block the consumer is
// done with goes back on a stack that the producer takes from the top of. The same few blocks
// therefore serve while the consumer keeps up, and the rest take no memory until a stall needs
// them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

namespace ondrel {

template <typename T>
class SpscRing {
  static_assert(std::is_trivially_copyable_v<T>);
  static constexpr std::size_t kBlock = std::max<std::size_t>(4096 / sizeof(T), 1);
  static constexpr std::uint32_t kNone = ~std::uint32_t(0);

 public:
  explicit SpscRing(std::size_t capacity)
      : capacity_(std::max<std::size_t>(capacity, 1)),
        // Values in [r, w) span at most this many blocks.
        blocks_((capacity_ + kBlock - 1) / kBlock + 1),
        storage_(std::allocator<T>().allocate(blocks_ * kBlock)),
        blockOf_(blocks_),
        below_(blocks_) {
    for (std::uint32_t block = 0; block < blocks_; ++block) release(block);
  }
  ~SpscRing() { std::allocator<T>().deallocate(storage_, blocks_ * kBlock); }
  SpscRing(const SpscRing&) = delete;
  SpscRing& operator=(const SpscRing&) = delete;

  std::size_t capacity() const { return capacity_; }

  // Producer side.
  std::size_t writeAvailable() const {
    return capacity_ - std::size_t(write_.load(std::memory_order_relaxed) -
                                   read_.load(std::memory_order_acquire));
  }
  // Copies up to count values in; returns how many fitted.
  std::size_t write(const T* values, std::size_t count) {
    const std::uint64_t w = write_.load(std::memory_order_relaxed);
    count = std::min(count, writeAvailable());
    for (std::uint64_t at = w; at < w + count;) {
      if (at % kBlock == 0) blockOf_[slot(at)] = take();
      const std::size_t n = std::min<std::size_t>(w + count - at, kBlock - at % kBlock);
      std::copy_n(values + (at - w), n, address(at));
      at += n;
    }
    write_.store(w + count, std::memory_order_release);
    return count;
  }
  bool push(const T& value) { return write(&value, 1) == 1; }
  // Takes back up to count of the newest values not yet read; returns how many. Only for a ring
  // whose producer and consumer are the same thread.
  std::size_t unwrite(std::size_t count) {
    count = std::min(count, readAvailable());
    const std::uint64_t w = write_.load(std::memory_order_relaxed);
    // Blocks that now start at or after the end go back.
    for (std::uint64_t start = (w - count + kBlock - 1) / kBlock * kBlock; start < w;
         start += kBlock) {
      release(blockOf_[slot(start)]);
    }
    write_.store(w - count, std::memory_order_release);
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
    for (std::uint64_t at = r; at < r + count;) {
      const std::size_t n = std::min<std::size_t>(r + count - at, kBlock - at % kBlock);
      std::copy_n(address(at), n, values + (at - r));
      at += n;
    }
    return count;
  }
  // Consumes up to count values; returns how many.
  std::size_t skip(std::size_t count) {
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    count = std::min(count, readAvailable());
    // Blocks read to their end go back.
    for (std::uint64_t start = r / kBlock * kBlock; start + kBlock <= r + count; start += kBlock) {
      release(blockOf_[slot(start)]);
    }
    read_.store(r + count, std::memory_order_release);
    return count;
  }
  std::size_t read(T* values, std::size_t count) { return skip(peek(values, count)); }
  // The oldest value, not consumed.
  const T* front() const {
    return readAvailable() > 0 ? address(read_.load(std::memory_order_relaxed)) : nullptr;
  }
  bool pop(T& value) { return read(&value, 1) == 1; }

 private:
  std::size_t slot(std::uint64_t at) const { return std::size_t(at / kBlock % blocks_); }
  T* address(std::uint64_t at) const {
    return storage_ + std::size_t(blockOf_[slot(at)]) * kBlock + std::size_t(at % kBlock);
  }
  // The free blocks: a stack that only the producer pops and only the consumer pushes, so a
  // block cannot come back to the top between a pop's read and its exchange.
  std::uint32_t take() {
    std::uint32_t top = top_.load(std::memory_order_acquire);
    while (!top_.compare_exchange_weak(top, below_[top].load(std::memory_order_relaxed),
                                       std::memory_order_acquire, std::memory_order_acquire)) {
    }
    return top;
  }
  void release(std::uint32_t block) {
    std::uint32_t top = top_.load(std::memory_order_relaxed);
    do {
      below_[block].store(top, std::memory_order_relaxed);
    } while (!top_.compare_exchange_weak(top, block, std::memory_order_release,
                                         std::memory_order_relaxed));
  }

  const std::size_t capacity_;
  const std::size_t blocks_;
  T* const storage_;
  // The block that holds each block number, at block number % blocks_; written by the producer
  // before it publishes values in it.
  std::vector<std::uint32_t> blockOf_;
  std::vector<std::atomic<std::uint32_t>> below_;  // the free stack's links
  alignas(64) std::atomic<std::uint32_t> top_{kNone};
  alignas(64) std::atomic<std::uint64_t> write_{0};
  alignas(64) std::atomic<std::uint64_t> read_{0};
};

}  // namespace ondrel
