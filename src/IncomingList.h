// The incoming list: datagrams on their way from the receiver thread to the dispatcher.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One received datagram.
struct message {
    std::string sourceaddress;  // sender, dotted IPv4 text
    std::string m_message;      // payload up to its first NUL, at most ECHOMAX bytes
};

// Most payload bytes taken from one datagram.
constexpr int ECHOMAX = 1024;

// Guards the incoming list; held only to append or to take.
extern pthread_mutex_t myIncomingListMutex;

// Messages back to back in one byte buffer, so that once the buffers have grown a batch
// costs no allocation per message. Addresses stay binary (network byte order) until the
// dispatcher needs their text.
class MessageBatch {
  public:
    struct Item {
        uint32_t address;
        uint32_t offset;
        uint32_t length;
    };
    void add(uint32_t address, const char* text, size_t length);
    void append(const MessageBatch& other);
    void clear() {
        items_.clear();
        bytes_.clear();
    }
    bool empty() const { return items_.empty(); }
    size_t size() const { return items_.size(); }
    void reserve(size_t items, size_t bytes) {
        items_.reserve(items);
        bytes_.reserve(bytes);
    }
    size_t capacityBytes() const { return bytes_.capacity(); }
    const Item& item(size_t i) const { return items_[i]; }
    const char* text(const Item& it) const { return bytes_.data() + it.offset; }
    void swap(MessageBatch& other) {
        items_.swap(other.items_);
        bytes_.swap(other.bytes_);
    }
    std::vector<message> toMessages() const;

  private:
    std::vector<Item> items_;
    std::string bytes_;
};

// Dotted-decimal text of an address in network byte order.
std::string addressText(uint32_t address);

// First in, first out, unbounded; one producer and one consumer. The receiver hands over
// whole batches and the dispatcher takes every queued batch at once, so the lock is held only
// to move a few pointers, and no datagram is copied on the way: emptied batches go back to the
// receiver with their buffers.
class IncomingList {
  public:
    // Appends one record (the address must be dotted IPv4 text).
    void append(const message& m);
    // Appends every record of the batch; the batch comes back empty (with recycled buffers).
    void appendBatch(MessageBatch& batch);
    // Takes every queued batch, in order. The batches `out` held before are recycled.
    // False when none was queued.
    bool takeBatches(std::vector<MessageBatch>& out);
    // Takes every queued record, in order, into one batch (cleared first). False when none.
    bool takeAll(MessageBatch& out);
    // Takes the head record. False when empty.
    bool takeFront(message& out);
    bool empty() const { return count_.load(std::memory_order_acquire) == 0; }
    size_t size() const { return count_.load(std::memory_order_acquire); }

  private:
    std::vector<MessageBatch> queued_;  // in order of reception
    std::vector<MessageBatch> spare_;   // emptied, buffers kept for the receiver
    size_t taken_ = 0;                  // records of queued_.front() already taken by takeFront
    std::atomic<size_t> count_{0};
};
